#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "codesign/blob.h"
#include "codesign/digest.h"

namespace tessuro::codesign {

// Special slots of a bundle signature whose main executable is not Mach-O.
inline constexpr std::uint32_t kSlotInfoPlist = 1;
inline constexpr std::uint32_t kSlotRequirements = 2;
inline constexpr std::uint32_t kSlotResources = 3;

// The CodeDirectory flag by which the signer asks that its certificates' expiry be enforced:
// without it, a certificate's validity period is no reason to refuse the signature.
inline constexpr std::uint32_t kCodeDirectoryFlagExpires = 0x400;

// The cdhash is the CodeDirectory's hash cut to this many bytes.
inline constexpr std::size_t kCdHashSize = 20;

// A CodeDirectory as the CMS attributes and the requirement name it.
struct CodeDirectoryHashes {
    HashType type;
    Bytes cdhash;    // the full hash cut to kCdHashSize bytes
    Bytes fullHash;  // the whole digest of the blob
};

// The hashes of a CodeDirectory blob, with its own hash type.
CodeDirectoryHashes codeDirectoryHashes(HashType type, ByteView blob);

// One parsed CodeDirectory. Parsing checks every offset against the blob's length, so the
// accessors never read outside it.
class CodeDirectory {
public:
    // Throws an Error saying what is wrong with the blob: of the code-signing domain
    // (kMalformed) for a field it refuses, of the format domain (format_code::kMalformed)
    // for data that ends before what the blob says it holds.
    static CodeDirectory parse(ByteView blob);

    const Bytes& blob() const noexcept { return blob_; }
    HashType hashType() const noexcept { return hashType_; }
    std::uint32_t flags() const noexcept { return flags_; }
    std::uint8_t pageSizeLog2() const noexcept { return pageSizeLog2_; }
    std::uint64_t codeLimit() const noexcept { return codeLimit_; }
    std::uint32_t specialSlotCount() const noexcept { return nSpecialSlots_; }
    std::uint32_t codeSlotCount() const noexcept { return nCodeSlots_; }
    const std::string& identifier() const noexcept { return identifier_; }
    // Absent before version 0x20200, or when the signer named no team.
    const std::optional<std::string>& teamIdentifier() const noexcept { return teamId_; }

    // The hash of special slot -k, 1 <= k <= specialSlotCount(), and of code slot `index`,
    // below codeSlotCount(); a slot outside those throws a malformed Error.
    ByteView specialSlot(std::uint32_t k) const;
    ByteView codeSlot(std::uint32_t index) const;

    CodeDirectoryHashes hashes() const { return codeDirectoryHashes(hashType_, blob_); }

private:
    Bytes blob_;
    std::uint32_t hashOffset_ = 0;
    std::uint32_t nSpecialSlots_ = 0;
    std::uint32_t nCodeSlots_ = 0;
    std::uint64_t codeLimit_ = 0;
    std::uint32_t flags_ = 0;
    HashType hashType_ = HashType::Sha256;
    std::uint8_t pageSizeLog2_ = 0;
    std::string identifier_;
    std::optional<std::string> teamId_;
};

// What a signer puts into a CodeDirectory: version 0x20200 with the team identifier,
// special slots -1 to -3, and one code slot for the whole main executable.
struct CodeDirectoryContent {
    std::string identifier;
    std::string teamIdentifier;
    HashType hashType = HashType::Sha256;
    std::uint32_t flags = 0;
    Bytes infoPlistHash;
    Bytes requirementsHash;
    Bytes resourcesHash;
    Bytes executableHash;
    std::uint64_t executableSize = 0;
};

// Throws a code-signing Error (kNotSignable) for an executable too large for the 32-bit
// code limit of that version.
Bytes buildCodeDirectory(const CodeDirectoryContent& content);

}  // namespace tessuro::codesign
