#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"
#include "platform/codesign/openssl_ptr.h"
#include "platform/codesign/requirement.h"
#include "platform/codesign/status.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {

inline constexpr std::uint32_t kDefaultFlags = 0;
inline constexpr std::uint32_t kCheckAllArchitectures = 1;

// A bundle on disk to be checked, held by its folder's descriptor from the moment it is
// made: the check reads below that folder, whatever its path names by then. Nothing is
// read until the check.
class StaticCode {
public:
    StaticCode(UniqueFd folder, std::filesystem::path path)
        : folder_(std::move(folder)), path_(std::move(path)) {}
    int folder() const noexcept { return folder_.get(); }
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    UniqueFd folder_;
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
// "anchor apple generic" accepts them. Its entry points answer with a Status: whatever
// stops a check, it ends in the status of what failed, never in an exception.
class CodeSigning {
public:
    CodeSigning();
    // Each extra anchor as PEM text; throws a code-signing Error (kBadIdentity) for one
    // that is not.
    explicit CodeSigning(const std::vector<std::string>& extraAnchorsPem);

    Status createStaticCodeWithPath(const std::filesystem::path& path, std::uint32_t flags,
                                    std::unique_ptr<StaticCode>& code) const;
    // The bundle whose folder `folder` holds (a descriptor, O_PATH or not); `path` names it
    // in messages only.
    Status createStaticCodeWithFolder(int folder, const std::filesystem::path& path,
                                      std::uint32_t flags, std::unique_ptr<StaticCode>& code) const;
    // `error` receives the syntax error's text, naming its position.
    Status createRequirementWithString(std::string_view text, std::uint32_t flags,
                                       std::unique_ptr<Requirement>& requirement,
                                       std::string* error = nullptr) const;
    // Checks the signature, the sealed contents and, when given, the requirement. `detail`
    // receives a sentence on what failed, for tools; `verified`, when the check passes,
    // what it vouched for.
    Status checkValidity(const StaticCode* code, std::uint32_t flags,
                         const Requirement* requirement, std::string* detail = nullptr,
                         VerifiedBundle* verified = nullptr) const;

    std::size_t anchorCount() const noexcept { return anchors_.size(); }

private:
    std::vector<X509Ptr> anchors_;
};

}  // namespace tessuro::codesign
