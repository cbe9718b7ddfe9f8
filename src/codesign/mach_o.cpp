#include "codesign/mach_o.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "codesign/blob.h"
#include "codesign/status.h"
#include "platform/byte_reader.h"

namespace tessuro::codesign {
namespace {

constexpr std::uint32_t kMagic32 = 0xfeedface;
constexpr std::uint32_t kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kSwappedMagic32 = 0xcefaedfe;
constexpr std::uint32_t kSwappedMagic64 = 0xcffaedfe;
constexpr std::uint32_t kFatMagic = 0xcafebabe;
constexpr std::uint32_t kFatMagic64 = 0xcafebabf;

// mach_header: magic, cputype, cpusubtype, filetype, ncmds, sizeofcmds, flags, and in the
// 64-bit form a reserved word.
constexpr std::size_t kHeaderSize32 = 28;
constexpr std::size_t kHeaderSize64 = 32;
constexpr std::size_t kFieldsBeforeNcmds = 12;  // cputype, cpusubtype, filetype
// fat_header: magic, nfat_arch; then fat_arch entries.
constexpr std::size_t kFatHeaderSize = 8;
constexpr std::size_t kFatArchSize = 20;        // cputype, cpusubtype, offset, size, align
constexpr std::size_t kFatArchSize64 = 32;      // the same with 64-bit offset and size, reserved
constexpr std::size_t kFieldsBeforeOffset = 8;  // cputype, cpusubtype
// load_command: cmd, cmdsize.
constexpr std::uint32_t kLoadCodeSignature = 0x1d;
constexpr std::uint32_t kLoadCommandHeaderSize = 8;

// A universal header counts its slices. Java class files share its magic, followed by
// their version, which is 45 or more: a smaller count makes a universal file.
constexpr std::uint32_t kMaxSlices = 44;
// Load commands of real programs take a few kilobytes.
constexpr std::uint32_t kMaxLoadCommandsSize = 16u << 20;

bool isThinMagic(std::uint32_t magic) {
    return magic == kMagic32 || magic == kMagic64 || magic == kSwappedMagic32 ||
           magic == kSwappedMagic64;
}

[[noreturn]] void malformed(const std::string& what) {
    throw codesignError(codesign_code::kMalformed, "the Mach-O file " + what);
}

Bytes readAt(int fd, std::uint64_t offset, std::size_t length) {
    Bytes data(length);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n =
            ::pread(fd, data.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw posixError(errno, "无法读取", "the main executable");
        }
        if (n == 0) {
            malformed("ends before byte " + std::to_string(offset + length));
        }
        done += static_cast<std::size_t>(n);
    }
    return data;
}

// Whether the load commands of one thin slice include LC_CODE_SIGNATURE.
bool sliceSignsItself(int fd, std::uint64_t offset, std::uint64_t size) {
    const Bytes header = readAt(fd, offset, std::min<std::uint64_t>(size, kHeaderSize64));
    const std::uint32_t magic = ByteReader(header).u32();
    if (!isThinMagic(magic)) {
        malformed("holds a slice that is not Mach-O");
    }
    const bool swapped = magic == kSwappedMagic32 || magic == kSwappedMagic64;
    const ByteOrder order = swapped ? ByteOrder::Little : ByteOrder::Big;
    const std::size_t headerSize =
        magic == kMagic64 || magic == kSwappedMagic64 ? kHeaderSize64 : kHeaderSize32;
    ByteReader fields = ByteReader(header, order).at(4 + kFieldsBeforeNcmds);
    const std::uint32_t count = fields.u32();
    const std::uint32_t commandsSize = fields.u32();
    if (size < headerSize || commandsSize > size - headerSize ||
        commandsSize > kMaxLoadCommandsSize) {
        malformed("gives its load commands " + std::to_string(commandsSize) + " bytes");
    }
    const Bytes commands = readAt(fd, offset + headerSize, commandsSize);
    ByteReader reader(commands, order);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t command = reader.u32();
        const std::uint32_t commandSize = reader.u32();
        if (commandSize < kLoadCommandHeaderSize) {
            malformed("has a load command of " + std::to_string(commandSize) + " bytes");
        }
        reader.skip(commandSize - kLoadCommandHeaderSize);
        if (command == kLoadCodeSignature) {
            return true;
        }
    }
    return false;
}

// The kind of a universal file of `slices` slices: signed when any slice is.
MachOKind universalKind(int fd, std::uint64_t size, bool wide, std::uint32_t slices) {
    const std::size_t entrySize = wide ? kFatArchSize64 : kFatArchSize;
    const std::size_t tableSize = slices * entrySize;
    if (size < kFatHeaderSize + tableSize) {
        malformed("ends inside its table of slices");
    }
    const Bytes table = readAt(fd, kFatHeaderSize, tableSize);
    MachOKind kind = MachOKind::Unsigned;
    for (std::size_t i = 0; i < slices; ++i) {
        ByteReader entry = ByteReader(table).at(i * entrySize + kFieldsBeforeOffset);
        const std::uint64_t offset = wide ? entry.u64() : entry.u32();
        const std::uint64_t length = wide ? entry.u64() : entry.u32();
        if (offset > size || length > size - offset) {
            malformed("places a slice past its end");
        }
        if (sliceSignsItself(fd, offset, length)) {
            kind = MachOKind::Signed;
        }
    }
    return kind;
}

MachOKind machOKind(int fd, std::uint64_t size, std::uint32_t magic, ByteReader& start) {
    if (isThinMagic(magic)) {
        return sliceSignsItself(fd, 0, size) ? MachOKind::Signed : MachOKind::Unsigned;
    }
    if (magic != kFatMagic && magic != kFatMagic64) {
        return MachOKind::NotMachO;
    }
    if (start.remaining() < 4) {
        return MachOKind::NotMachO;
    }
    const std::uint32_t slices = start.u32();
    if (slices > kMaxSlices) {
        return MachOKind::NotMachO;  // a Java class file, or data that starts alike
    }
    if (slices == 0) {
        return MachOKind::Malformed;
    }
    return universalKind(fd, size, magic == kFatMagic64, slices);
}

}  // namespace

MachOKind inspectMachO(int fd, std::uint64_t size) {
    Bytes start;
    try {
        start = readAt(fd, 0, std::min<std::uint64_t>(size, kFatHeaderSize));
    } catch (const Error&) {
        return MachOKind::NotMachO;
    }
    ByteReader header(start);
    if (header.remaining() < 4) {
        return MachOKind::NotMachO;
    }
    const std::uint32_t magic = header.u32();
    try {
        return machOKind(fd, size, magic, header);
    } catch (const Error&) {
        return MachOKind::Malformed;
    }
}

}  // namespace tessuro::codesign
