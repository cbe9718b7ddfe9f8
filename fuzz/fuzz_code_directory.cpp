// CodeDirectory blobs: every accessor on whatever parses, and the reader under it at every
// offset.
#include <cstddef>
#include <cstdint>

#include "codesign/code_directory.h"
#include "platform/byte_reader.h"

using namespace tessuro::codesign;
using tessuro::ByteReader;
using tessuro::Error;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteView blob(data, size);
    try {
        const CodeDirectory cd = CodeDirectory::parse(blob);
        for (std::uint32_t k = 1; k <= cd.specialSlotCount() && k < 64; ++k) {
            (void)cd.specialSlot(k);
        }
        for (std::uint32_t i = 0; i < cd.codeSlotCount() && i < 64; ++i) {
            (void)cd.codeSlot(i);
        }
        (void)cd.hashes();
    } catch (const Error&) {
    }
    for (std::size_t offset = 0; offset < size + 8 && offset < 256; ++offset) {
        try {
            ByteReader reader = ByteReader(blob).at(offset);
            (void)reader.u32();
            (void)reader.u64();
            (void)reader.cString();
        } catch (const Error&) {
        }
    }
    return 0;
}
