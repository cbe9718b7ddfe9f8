#include "codesign/code_directory.h"

#include <limits>

#include "codesign/status.h"

namespace tessuro::codesign {
namespace {

// The versions a CodeDirectory may have; each later one adds fields to the header.
constexpr std::uint32_t kEarliestVersion = 0x20001;
constexpr std::uint32_t kScatterVersion = 0x20100;      // adds scatterOffset
constexpr std::uint32_t kTeamIdVersion = 0x20200;       // adds teamIDOffset
constexpr std::uint32_t kCodeLimit64Version = 0x20300;  // adds spare3 and codeLimit64
constexpr std::uint32_t kLatestVersion = 0x2F000;

// A page size is given as its base-2 logarithm, 0 meaning the whole file is one page.
constexpr std::uint8_t kWholeFileAsOnePage = 0;
constexpr std::uint8_t kPageSizeLog2Limit = 64;

// The hash types as their byte in the header.
constexpr std::uint8_t kFirstHashType = static_cast<std::uint8_t>(HashType::Sha1);
constexpr std::uint8_t kLastHashType = static_cast<std::uint8_t>(HashType::Sha384);

[[noreturn]] void malformed(const std::string& what) {
    throw codesignError(codesign_code::kMalformed, "the CodeDirectory " + what);
}

// The fixed fields, in the order they are stored, up to the last one its version has.
struct Header {
    std::uint32_t version = 0;
    std::uint32_t hashOffset = 0;
    std::uint32_t identOffset = 0;
    std::uint32_t nSpecialSlots = 0;
    std::uint32_t nCodeSlots = 0;
    std::uint64_t codeLimit = 0;
    std::uint32_t flags = 0;
    std::uint8_t hashSize = 0;
    std::uint8_t hashType = 0;
    std::uint8_t pageSizeLog2 = 0;
    std::uint32_t teamOffset = 0;  // 0: no team
    std::size_t size = 0;          // the bytes the header takes, from the magic on
};

Header readHeader(ByteReader& reader) {
    Header h;
    h.version = reader.u32();
    if (h.version < kEarliestVersion || h.version > kLatestVersion) {
        malformed("has the unknown version " + std::to_string(h.version));
    }
    h.flags = reader.u32();
    h.hashOffset = reader.u32();
    h.identOffset = reader.u32();
    h.nSpecialSlots = reader.u32();
    h.nCodeSlots = reader.u32();
    h.codeLimit = reader.u32();
    h.hashSize = reader.u8();
    h.hashType = reader.u8();
    reader.skip(1);  // platform
    h.pageSizeLog2 = reader.u8();
    reader.skip(4);  // spare2
    if (h.version >= kScatterVersion) {
        reader.skip(4);  // scatterOffset
    }
    if (h.version >= kTeamIdVersion) {
        h.teamOffset = reader.u32();
    }
    if (h.version >= kCodeLimit64Version) {
        reader.skip(4);  // spare3
        if (std::uint64_t limit64 = reader.u64(); limit64 != 0) {
            h.codeLimit = limit64;
        }
    }
    h.size = reader.position();
    return h;
}

HashType hashTypeOf(const Header& h) {
    if (h.hashType < kFirstHashType || h.hashType > kLastHashType) {
        malformed("has the unknown hash type " + std::to_string(h.hashType));
    }
    const auto type = static_cast<HashType>(h.hashType);
    if (h.hashSize != hashSize(type)) {
        malformed("gives its hashes " + std::to_string(h.hashSize) + " bytes, not the type's " +
                  std::to_string(hashSize(type)));
    }
    if (h.pageSizeLog2 >= kPageSizeLog2Limit) {
        malformed("has pages of 2^" + std::to_string(h.pageSizeLog2) + " bytes");
    }
    return type;
}

// The NUL-terminated string at `offset`, which lies past the header.
std::string stringAt(ByteView blob, const Header& h, std::uint32_t offset, const char* what) {
    if (offset < h.size) {
        malformed(std::string("places its ") + what + " inside its header");
    }
    return ByteReader(blob).at(offset).cString();
}

// The special slots lie between the header and hashOffset, the code slots from it on.
void checkHashTable(ByteView blob, const Header& h) {
    const std::uint64_t size = h.hashSize;
    if (h.hashOffset < h.size || std::uint64_t{h.nSpecialSlots} * size > h.hashOffset - h.size) {
        malformed("places its special slots inside its header");
    }
    ByteReader(blob).at(h.hashOffset).skip(std::uint64_t{h.nCodeSlots} * size);
}

}  // namespace

CodeDirectory CodeDirectory::parse(ByteView blob) {
    ByteReader reader = blobContent(blob, kCodeDirectoryMagic, "the CodeDirectory");
    const Header h = readHeader(reader);
    CodeDirectory cd;
    cd.hashType_ = hashTypeOf(h);
    checkHashTable(blob, h);
    if (h.teamOffset != 0) {
        cd.teamId_ = stringAt(blob, h, h.teamOffset, "team identifier");
    }
    cd.identifier_ = stringAt(blob, h, h.identOffset, "identifier");
    cd.blob_.assign(blob.begin(), blob.end());
    cd.hashOffset_ = h.hashOffset;
    cd.nSpecialSlots_ = h.nSpecialSlots;
    cd.nCodeSlots_ = h.nCodeSlots;
    cd.codeLimit_ = h.codeLimit;
    cd.flags_ = h.flags;
    cd.pageSizeLog2_ = h.pageSizeLog2;
    return cd;
}

ByteView CodeDirectory::specialSlot(std::uint32_t k) const {
    if (k == 0 || k > nSpecialSlots_) {
        malformed("has no special slot -" + std::to_string(k));
    }
    const std::size_t size = hashSize(hashType_);
    return ByteView(blob_).subspan(hashOffset_ - std::size_t{k} * size, size);
}

ByteView CodeDirectory::codeSlot(std::uint32_t index) const {
    if (index >= nCodeSlots_) {
        malformed("has no code slot " + std::to_string(index));
    }
    const std::size_t size = hashSize(hashType_);
    return ByteView(blob_).subspan(hashOffset_ + std::size_t{index} * size, size);
}

CodeDirectoryHashes codeDirectoryHashes(HashType type, ByteView blob) {
    CodeDirectoryHashes hashes{type, {}, digest(type, blob)};
    hashes.cdhash.assign(hashes.fullHash.begin(), hashes.fullHash.begin() + kCdHashSize);
    return hashes;
}

Bytes buildCodeDirectory(const CodeDirectoryContent& content) {
    if (content.executableSize > std::numeric_limits<std::uint32_t>::max()) {
        throw codesignError(codesign_code::kNotSignable,
                            "the main executable has " + std::to_string(content.executableSize) +
                                " bytes, more than a version 0x20200 CodeDirectory can seal");
    }
    constexpr std::uint32_t kHeaderSize = 52;  // the header of version 0x20200
    constexpr std::uint32_t kCodeSlots = 1;    // the whole main executable as one page
    const std::size_t size = hashSize(content.hashType);
    const std::uint32_t identOffset = kHeaderSize;
    const auto teamOffset = static_cast<std::uint32_t>(identOffset + content.identifier.size() + 1);
    const auto hashOffset = static_cast<std::uint32_t>(teamOffset + content.teamIdentifier.size() +
                                                       1 + kSlotResources * size);

    BlobWriter w;
    w.u32(kCodeDirectoryMagic);
    w.u32(0);  // the length, patched below
    w.u32(kTeamIdVersion);
    w.u32(content.flags);
    w.u32(hashOffset);
    w.u32(identOffset);
    w.u32(kSlotResources);  // the special slots, -3 to -1
    w.u32(kCodeSlots);
    w.u32(static_cast<std::uint32_t>(content.executableSize));
    w.u8(static_cast<std::uint8_t>(size));
    w.u8(static_cast<std::uint8_t>(content.hashType));
    w.u8(0);  // platform
    w.u8(kWholeFileAsOnePage);
    w.u32(0);  // spare2
    w.u32(0);  // scatterOffset
    w.u32(teamOffset);
    w.cString(content.identifier);
    w.cString(content.teamIdentifier);
    w.bytes(content.resourcesHash);     // slot -3
    w.bytes(content.requirementsHash);  // slot -2
    w.bytes(content.infoPlistHash);     // slot -1
    w.bytes(content.executableHash);    // slot 0
    w.patchLength();
    return w.take();
}

}  // namespace tessuro::codesign
