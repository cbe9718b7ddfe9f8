#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/codesign/blob.h"
#include "platform/codesign/digest.h"

namespace tessuro::codesign {

// Special slots of a bundle signature whose main executable is not Mach-O.
inline constexpr int kSlotInfoPlist = 1;
inline constexpr int kSlotRequirements = 2;
inline constexpr int kSlotResources = 3;

// One parsed CodeDirectory. Parsing checks every offset against the blob's length, so the
// accessors never read outside it.
class CodeDirectory {
public:
    // Nothing when the blob is not a well-formed CodeDirectory.
    static std::optional<CodeDirectory> parse(ByteView blob);

    const Bytes& blob() const noexcept { return blob_; }
    std::uint32_t version() const noexcept { return version_; }
    std::uint32_t flags() const noexcept { return flags_; }
    HashType hashType() const noexcept { return hashType_; }
    std::uint8_t pageSizeLog2() const noexcept { return pageSizeLog2_; }
    std::uint64_t codeLimit() const noexcept { return codeLimit_; }
    std::uint32_t specialSlotCount() const noexcept { return nSpecialSlots_; }
    std::uint32_t codeSlotCount() const noexcept { return nCodeSlots_; }
    const std::string& identifier() const noexcept { return identifier_; }
    const std::optional<std::string>& teamIdentifier() const noexcept { return teamId_; }

    // The hash of special slot -k (k >= 1); nothing when k is beyond the special slots.
    std::optional<ByteView> specialSlot(std::uint32_t k) const;
    std::optional<ByteView> codeSlot(std::uint32_t index) const;

    // The hash of this whole blob with its own hash type, cut to 20 bytes.
    Bytes cdhash() const;

private:
    Bytes blob_;
    std::uint32_t version_ = 0;
    std::uint32_t flags_ = 0;
    std::uint32_t hashOffset_ = 0;
    std::uint32_t nSpecialSlots_ = 0;
    std::uint32_t nCodeSlots_ = 0;
    std::uint64_t codeLimit_ = 0;
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
    Bytes infoPlistHash;
    Bytes requirementsHash;
    Bytes resourcesHash;
    Bytes executableHash;
    std::uint64_t executableSize = 0;
};

Bytes buildCodeDirectory(const CodeDirectoryContent& content);

}  // namespace tessuro::codesign
