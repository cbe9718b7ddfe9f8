// CodeDirectory and requirement-set blobs: every accessor on whatever parses.
#include <cstddef>
#include <cstdint>

#include "platform/codesign/blob.h"
#include "platform/codesign/code_directory.h"

using namespace tessuro::codesign;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteView blob(data, size);
    if (auto cd = CodeDirectory::parse(blob)) {
        for (std::uint32_t k = 0; k <= cd->specialSlotCount() + 1 && k < 64; ++k) {
            (void)cd->specialSlot(k);
        }
        for (std::uint32_t i = 0; i <= cd->codeSlotCount() && i < 64; ++i) {
            (void)cd->codeSlot(i);
        }
        (void)cd->cdhash();
        (void)cd->identifier();
        (void)cd->teamIdentifier();
    }
    BlobReader reader(blob);
    for (std::size_t offset = 0; offset < size + 8 && offset < 256; ++offset) {
        (void)reader.u32(offset);
        (void)reader.u64(offset);
        (void)reader.cString(offset);
        (void)reader.bytes(offset, size - (offset < size ? offset : 0));
    }
    return 0;
}
