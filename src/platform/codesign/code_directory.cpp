#include "platform/codesign/code_directory.h"

#include <limits>

namespace tessuro::codesign {
namespace {

constexpr std::uint32_t kEarliestVersion = 0x20001;
constexpr std::uint32_t kLatestVersion = 0x2F000;
constexpr std::uint32_t kTeamIdVersion = 0x20200;
constexpr std::uint32_t kCodeLimit64Version = 0x20300;
constexpr std::size_t kBaseHeader = 44;  // up to and including spare2

}  // namespace

std::optional<CodeDirectory> CodeDirectory::parse(ByteView blob) {
    BlobReader r(blob);
    auto magic = r.u32(0);
    auto length = r.u32(4);
    if (!magic || *magic != kCodeDirectoryMagic || !length || *length != blob.size() ||
        blob.size() < kBaseHeader) {
        return std::nullopt;
    }
    CodeDirectory cd;
    cd.blob_.assign(blob.begin(), blob.end());
    cd.version_ = *r.u32(8);
    cd.flags_ = *r.u32(12);
    cd.hashOffset_ = *r.u32(16);
    std::uint32_t identOffset = *r.u32(20);
    cd.nSpecialSlots_ = *r.u32(24);
    cd.nCodeSlots_ = *r.u32(28);
    cd.codeLimit_ = *r.u32(32);
    std::uint8_t hashSizeByte = *r.u8(36);
    std::optional<HashType> type = hashTypeFromByte(*r.u8(37));
    cd.pageSizeLog2_ = *r.u8(39);
    if (cd.version_ < kEarliestVersion || cd.version_ > kLatestVersion || !type ||
        hashSizeByte != hashSize(*type) || cd.pageSizeLog2_ >= 64) {
        return std::nullopt;
    }
    cd.hashType_ = *type;

    std::size_t header = kBaseHeader;
    if (cd.version_ >= kCodeLimit64Version) {
        header = 64;  // scatterOffset, teamIDOffset, spare3, codeLimit64
    } else if (cd.version_ >= kTeamIdVersion) {
        header = 52;  // scatterOffset, teamIDOffset
    } else if (cd.version_ >= 0x20100) {
        header = 48;  // scatterOffset
    }
    if (blob.size() < header) {
        return std::nullopt;
    }
    if (cd.version_ >= kTeamIdVersion) {
        std::uint32_t teamOffset = *r.u32(48);
        if (teamOffset != 0) {
            if (teamOffset < header) {
                return std::nullopt;
            }
            cd.teamId_ = r.cString(teamOffset);
            if (!cd.teamId_) {
                return std::nullopt;
            }
        }
    }
    if (cd.version_ >= kCodeLimit64Version) {
        if (std::uint64_t limit64 = *r.u64(56); limit64 != 0) {
            cd.codeLimit_ = limit64;
        }
    }
    if (blob.size() < header || identOffset < header) {
        return std::nullopt;
    }
    auto identifier = r.cString(identOffset);
    if (!identifier) {
        return std::nullopt;
    }
    cd.identifier_ = *identifier;

    // The hash table: nSpecialSlots hashes before hashOffset, nCodeSlots from it.
    std::uint64_t size = hashSize(cd.hashType_);
    std::uint64_t before = std::uint64_t{cd.nSpecialSlots_} * size;
    std::uint64_t after = std::uint64_t{cd.nCodeSlots_} * size;
    if (cd.hashOffset_ < header || before > cd.hashOffset_ - header || after > blob.size() ||
        cd.hashOffset_ > blob.size() - after) {
        return std::nullopt;
    }
    return cd;
}

std::optional<ByteView> CodeDirectory::specialSlot(std::uint32_t k) const {
    if (k == 0 || k > nSpecialSlots_) {
        return std::nullopt;
    }
    std::size_t size = hashSize(hashType_);
    return ByteView(blob_).subspan(hashOffset_ - std::size_t{k} * size, size);
}

std::optional<ByteView> CodeDirectory::codeSlot(std::uint32_t index) const {
    if (index >= nCodeSlots_) {
        return std::nullopt;
    }
    std::size_t size = hashSize(hashType_);
    return ByteView(blob_).subspan(hashOffset_ + std::size_t{index} * size, size);
}

Bytes CodeDirectory::cdhash() const {
    Bytes hash = digest(hashType_, blob_);
    hash.resize(20);
    return hash;
}

Bytes buildCodeDirectory(const CodeDirectoryContent& content) {
    const std::size_t header = 52;
    const std::size_t size = hashSize(content.hashType);
    const std::uint32_t identOffset = header;
    const std::uint32_t teamOffset =
        static_cast<std::uint32_t>(identOffset + content.identifier.size() + 1);
    const std::uint32_t hashOffset =
        static_cast<std::uint32_t>(teamOffset + content.teamIdentifier.size() + 1 + 3 * size);

    BlobWriter w;
    w.u32(kCodeDirectoryMagic);
    w.u32(0);  // length, patched below
    w.u32(kTeamIdVersion);
    w.u32(0);  // flags
    w.u32(hashOffset);
    w.u32(identOffset);
    w.u32(3);  // special slots
    w.u32(1);  // code slots
    w.u32(static_cast<std::uint32_t>(std::min<std::uint64_t>(
        content.executableSize, std::numeric_limits<std::uint32_t>::max())));
    w.u8(static_cast<std::uint8_t>(size));
    w.u8(static_cast<std::uint8_t>(content.hashType));
    w.u8(0);   // platform
    w.u8(0);   // page size: the whole file is one page
    w.u32(0);  // spare2
    w.u32(0);  // scatterOffset
    w.u32(teamOffset);
    w.cString(content.identifier);
    w.cString(content.teamIdentifier);
    w.bytes(content.resourcesHash);     // slot -3
    w.bytes(content.requirementsHash);  // slot -2
    w.bytes(content.infoPlistHash);     // slot -1
    w.bytes(content.executableHash);    // slot 0
    w.patchU32(4, static_cast<std::uint32_t>(w.size()));
    return w.take();
}

}  // namespace tessuro::codesign
