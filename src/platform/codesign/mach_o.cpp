#include "platform/codesign/mach_o.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "platform/codesign/blob.h"

namespace tessuro::codesign {
namespace {

constexpr std::uint32_t kMagic32 = 0xfeedface;
constexpr std::uint32_t kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kSwappedMagic32 = 0xcefaedfe;
constexpr std::uint32_t kSwappedMagic64 = 0xcffaedfe;
constexpr std::uint32_t kFatMagic = 0xcafebabe;
constexpr std::uint32_t kFatMagic64 = 0xcafebabf;

constexpr std::size_t kHeaderSize32 = 28;
constexpr std::size_t kHeaderSize64 = 32;
constexpr std::size_t kNcmdsOffset = 16;
constexpr std::size_t kSizeofcmdsOffset = 20;
constexpr std::size_t kFatArchSize = 20;    // cputype, cpusubtype, offset, size, align
constexpr std::size_t kFatArchSize64 = 32;  // the same with 64-bit offset and size, reserved
constexpr std::size_t kFatOffsetField = 8;
constexpr std::uint32_t kLoadCodeSignature = 0x1d;
constexpr std::uint32_t kMinLoadCommandSize = 8;

// A universal header counts its slices. Java class files share its magic, followed by
// their version, which is 45 or more: a smaller count makes a universal file.
constexpr std::uint32_t kMaxSlices = 44;
// Load commands of real programs take a few kilobytes.
constexpr std::uint32_t kMaxLoadCommandsSize = 16u << 20;

bool isThinMagic(std::uint32_t magic) {
    return magic == kMagic32 || magic == kMagic64 || magic == kSwappedMagic32 ||
           magic == kSwappedMagic64;
}

std::optional<Bytes> readAt(int fd, std::uint64_t offset, std::size_t length) {
    Bytes data(length);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n =
            ::pread(fd, data.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        done += static_cast<std::size_t>(n);
    }
    return data;
}

MachOKind sliceKind(int fd, std::uint64_t offset, std::uint64_t size) {
    std::optional<Bytes> header = readAt(fd, offset, std::min<std::uint64_t>(size, kHeaderSize64));
    std::optional<std::uint32_t> magic = header ? BlobReader(*header).u32(0) : std::nullopt;
    if (!magic || !isThinMagic(*magic)) {
        return MachOKind::Malformed;
    }
    bool swapped = *magic == kSwappedMagic32 || *magic == kSwappedMagic64;
    std::size_t headerSize =
        *magic == kMagic64 || *magic == kSwappedMagic64 ? kHeaderSize64 : kHeaderSize32;
    BlobReader fields(*header, swapped ? ByteOrder::Little : ByteOrder::Big);
    std::optional<std::uint32_t> count = fields.u32(kNcmdsOffset);
    std::optional<std::uint32_t> commandsSize = fields.u32(kSizeofcmdsOffset);
    if (size < headerSize || !count || !commandsSize || *commandsSize > size - headerSize ||
        *commandsSize > kMaxLoadCommandsSize) {
        return MachOKind::Malformed;
    }
    std::optional<Bytes> commands = readAt(fd, offset + headerSize, *commandsSize);
    if (!commands) {
        return MachOKind::Malformed;
    }
    BlobReader reader(*commands, swapped ? ByteOrder::Little : ByteOrder::Big);
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < *count; ++i) {
        std::optional<std::uint32_t> command = reader.u32(at);
        std::optional<std::uint32_t> commandSize =
            at <= SIZE_MAX - 4 ? reader.u32(at + 4) : std::nullopt;
        if (!command || !commandSize || *commandSize < kMinLoadCommandSize ||
            *commandSize > reader.size() - at) {
            return MachOKind::Malformed;
        }
        if (*command == kLoadCodeSignature) {
            return MachOKind::Signed;
        }
        at += *commandSize;
    }
    return MachOKind::Unsigned;
}

}  // namespace

MachOKind inspectMachO(int fd, std::uint64_t size) {
    const Bytes start = readAt(fd, 0, std::min<std::uint64_t>(size, 8)).value_or(Bytes{});
    BlobReader header(start);
    std::optional<std::uint32_t> magic = header.u32(0);
    if (!magic) {
        return MachOKind::NotMachO;
    }
    if (isThinMagic(*magic)) {
        return sliceKind(fd, 0, size);
    }
    if (*magic != kFatMagic && *magic != kFatMagic64) {
        return MachOKind::NotMachO;
    }
    std::optional<std::uint32_t> slices = header.u32(4);
    if (!slices || *slices > kMaxSlices) {
        return MachOKind::NotMachO;  // a Java class file, or data that starts alike
    }
    if (*slices == 0) {
        return MachOKind::Malformed;
    }
    const bool wide = *magic == kFatMagic64;
    const std::size_t entrySize = wide ? kFatArchSize64 : kFatArchSize;
    const std::size_t tableSize = *slices * entrySize;
    std::optional<Bytes> table = size >= 8 + tableSize ? readAt(fd, 8, tableSize) : std::nullopt;
    if (!table) {
        return MachOKind::Malformed;
    }
    BlobReader entries(*table);
    MachOKind kind = MachOKind::Unsigned;
    for (std::size_t i = 0; i < *slices; ++i) {
        std::size_t at = i * entrySize + kFatOffsetField;
        auto field = [&](std::size_t narrow, std::size_t wideAt) -> std::optional<std::uint64_t> {
            if (wide) {
                return entries.u64(at + wideAt);
            }
            return entries.u32(at + narrow);
        };
        std::optional<std::uint64_t> offset = field(0, 0);
        std::optional<std::uint64_t> length = field(4, 8);
        if (!offset || !length || *offset > size || *length > size - *offset) {
            return MachOKind::Malformed;
        }
        MachOKind slice = sliceKind(fd, *offset, *length);
        if (slice == MachOKind::Malformed) {
            return slice;
        }
        if (slice == MachOKind::Signed) {
            kind = slice;
        }
    }
    return kind;
}

}  // namespace tessuro::codesign
