#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/openssl_ptr.h"
#include "codesign/requirement.h"
#include "codesign/status.h"
#include "platform/bundle.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {

class DigestCache;
class DigestPrefetch;

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

// What the checks of one installation share: the digests of the files the installer wrote
// itself (its staged copy, which becomes the installed one), taken while the copy is made
// and when a check reads them, so that a later check of the same, unchanged files does not
// read them again. A file the installer did not write, such as the payload it was given,
// is never checked in a session: others may write it without its change time telling.
// Dropped at the installation's end. Safe to use from several threads.
class VerificationSession {
public:
    VerificationSession();
    ~VerificationSession();
    VerificationSession(const VerificationSession&) = delete;
    VerificationSession& operator=(const VerificationSession&) = delete;

    // Reads the file `relative` below `folder` in the background, a little after it was
    // given and at a priority below the file work beside it, for the checks to come. Every
    // file comes from the folder given first, which is held from then on. What cannot be
    // read ahead (no thread, no memory), a check reads itself.
    void readAhead(int folder, std::filesystem::path relative) noexcept;
    // Ends the reading ahead; what was not read yet, a check reads itself.
    void stopReadingAhead() noexcept;

    // The digests the session holds, for the checks run in it.
    DigestCache& digests() noexcept { return *digests_; }

private:
    std::unique_ptr<DigestCache> digests_;
    std::mutex prefetchMutex_;  // guards prefetch_: the reading ahead starts at the first file
    std::unique_ptr<DigestPrefetch> prefetch_;
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
    // that is not. When OpenSSL cannot load the anchors (Apple's roots are known by their
    // SHA-256 fingerprints), the service is made all the same and every check answers
    // kStatusInternalError, with OpenSSL's reason as its detail.
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
    // receives a sentence on what failed, for tools (for kStatusInternalError, what failed
    // the check: OpenSSL's or the system's reason); `verified`, when the check passes,
    // what it vouched for. With a `session`, the check uses the digests it holds of files
    // unchanged since, and adds those it takes.
    Status checkValidity(const StaticCode* code, std::uint32_t flags,
                         const Requirement* requirement, std::string* detail = nullptr,
                         VerifiedBundle* verified = nullptr,
                         VerificationSession* session = nullptr) const;

    std::size_t anchorCount() const noexcept { return anchors_.size(); }

private:
    std::vector<X509Ptr> anchors_;
    std::string cannotCheck_;  // why no check can run, when OpenSSL failed the service
};

}  // namespace tessuro::codesign
