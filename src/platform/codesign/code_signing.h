#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codesign/digest.h"
#include "platform/codesign/openssl_ptr.h"
#include "platform/codesign/requirement.h"

namespace tessuro::codesign {

// The status of a code-signing operation: 0 for success, one value per kind of failure.
// It is meant for tools and tests; the installer's window never shows it.
enum Status : int {
    kStatusOk = 0,
    kStatusNoSuchCode = 1,          // no bundle folder at the path
    kStatusUnsigned = 2,            // no signature at all
    kStatusMalformed = 3,           // signature data that a signer does not write
    kStatusComponentModified = 4,   // Info.plist, CodeRequirements or CodeResources changed
    kStatusExecutableModified = 5,  // the main executable changed
    kStatusResourceModified = 6,    // a sealed file or link changed
    kStatusResourceAdded = 7,       // a file the seal covers has no entry
    kStatusResourceMissing = 8,     // a sealed file is gone
    kStatusAdHoc = 9,               // signed without an identity
    kStatusSignatureInvalid = 10,   // the CMS does not verify or names other CodeDirectories
    kStatusUntrusted = 11,          // the certificates do not reach an anchor
    kStatusTeamMismatch = 12,       // the CodeDirectory's team is not the leaf's OU
    kStatusRequirementFailed = 13,  // valid, but the requirement is not met
    kStatusUnsupported = 14,        // a feature this verifier cannot check: fails closed
    kStatusRequirementSyntax = 15,  // the requirement text does not parse
    kStatusInvalidFlags = 16,
    kStatusInvalidObject = 17,
    kStatusUnsealedRoot = 18,  // the bundle's top level holds something beside Contents
};

const char* statusName(int status);

inline constexpr std::uint32_t kDefaultFlags = 0;
inline constexpr std::uint32_t kCheckAllArchitectures = 1;

// A bundle on disk to be checked; nothing is read until the check.
class StaticCode {
public:
    explicit StaticCode(std::filesystem::path path) : path_(std::move(path)) {}
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// A compiled requirement.
class Requirement {
public:
    Requirement(std::string text, std::unique_ptr<RequirementNode> root)
        : text_(std::move(text)), root_(std::move(root)) {}
    const std::string& text() const noexcept { return text_; }
    const RequirementNode& root() const noexcept { return *root_; }

private:
    std::string text_;
    std::unique_ptr<RequirementNode> root_;
};

// The code-signing service: Apple's roots as anchors, plus the extra anchors it is built
// with (tests, and a development build's own root). Extra anchors stand in for Apple's:
// "anchor apple generic" accepts them.
class CodeSigning {
public:
    CodeSigning();
    // Each extra anchor as PEM text; throws std::invalid_argument for one that is not.
    explicit CodeSigning(const std::vector<std::string>& extraAnchorsPem);

    int createStaticCodeWithPath(const std::filesystem::path& path, std::uint32_t flags,
                                 std::unique_ptr<StaticCode>& code) const;
    int createRequirementWithString(std::string_view text, std::uint32_t flags,
                                    std::unique_ptr<Requirement>& requirement,
                                    std::string* error = nullptr) const;
    // Checks the signature, the sealed contents and, when given, the requirement. `detail`
    // receives a sentence on what failed, for tools.
    int checkValidity(const StaticCode* code, std::uint32_t flags, const Requirement* requirement,
                      std::string* detail = nullptr) const;

    std::size_t anchorCount() const noexcept { return anchors_.size(); }

private:
    std::vector<X509Ptr> anchors_;
};

// The SHA-256 of a certificate's DER, upper-case hexadecimal.
std::string certificateFingerprint(X509* certificate);

}  // namespace tessuro::codesign
