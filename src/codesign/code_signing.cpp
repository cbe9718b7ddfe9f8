// The check of a bundle signature: the CodeDirectories, the CMS signature and its chain,
// the special slots, the main executable, the sealed resources, then the requirement.

#include "codesign/code_signing.h"

#include <fcntl.h>
#include <malloc.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <new>
#include <optional>

#include "codesign/apple_roots.h"
#include "codesign/certificates.h"
#include "codesign/cms_signature.h"
#include "codesign/code_directory.h"
#include "codesign/mach_o.h"
#include "codesign/resource_seal_check.h"
#include "codesign/signature_layout.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/property_list.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {
namespace {

constexpr std::size_t kMaxBlob = 16u << 20;

UniqueFd openFolder(int parent, const char* name) {
    return UniqueFd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// A regular file inside the bundle, read whole; a link is never followed. Nothing when
// there is no such file; a refusal when something else stands there, it is too large or
// it cannot be read.
std::optional<Bytes> readInside(int folder, const char* name, std::size_t limit) {
    try {
        const std::string data = readFileContentsAt(folder, name, limit);
        return Bytes(data.begin(), data.end());
    } catch (const Error& error) {
        if (error.domain() == kPosixErrorDomain && error.code() == ENOENT) {
            return std::nullopt;
        }
        throw refusal(kStatusMalformed, error.what());
    }
}

bool allZero(ByteView bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

Bytes copyOf(ByteView bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

// Hands a check's detail to the caller; without the memory for it, the status alone.
void tell(std::string* detail, const char* text) noexcept {
    if (detail == nullptr) {
        return;
    }
    try {
        *detail = text;
    } catch (...) {
    }
}

class Check {
public:
    Check(const std::vector<X509Ptr>& anchors, const StaticCode& code, DigestCache* cache)
        : anchors_(anchors), code_(code), cache_(cache) {}

    // What the check vouched for, once it has passed.
    VerifiedBundle run(const Requirement* requirement) {
        openFolders();
        readCodeDirectories();
        verifySignature();
        verifySpecialSlots();
        verifyMainExecutable();
        const std::vector<std::string> unsealed =
            checkResourceSeal(*resources_, contentsFd_.get(), excluded_, cache_);
        if (requirement != nullptr) {
            verifyRequirement(*requirement);
        }
        for (const std::string& path : unsealed) {
            verified_.unsealedExecutables.push_back(std::filesystem::path(layout::kContents) /
                                                    path);
        }
        return std::move(verified_);
    }

private:
    void openFolders() {
        // A reading of its own of the folder the code holds: not a path, which others may
        // point elsewhere meanwhile, and not the code's descriptor, whose position another
        // check could share.
        bundleFd_.reset(::openat(code_.folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!bundleFd_) {
            throw refusal(kStatusNoSuchCode,
                          "the bundle folder cannot be read: " + posixReason(errno));
        }
        contentsFd_ = openFolder(bundleFd_.get(), layout::kContents);
        if (!contentsFd_) {
            throw refusal(kStatusUnsigned, "the bundle has no Contents folder");
        }
        signatureFd_ = openFolder(contentsFd_.get(), layout::kSignatureFolder);
        if (!signatureFd_) {
            const int reason = errno;
            throw refusal(reason == ENOENT ? kStatusUnsigned : kStatusMalformed,
                          "no Contents/_CodeSignature folder: " + posixReason(reason));
        }
        refuseUnsealedRoot();
    }

    // The seal covers what lies below Contents; anything beside it is unsealed.
    void refuseUnsealedRoot() {
        std::vector<std::string> root = folderEntries(bundleFd_.get(), code_.path());
        std::sort(root.begin(), root.end());
        for (const std::string& name : root) {
            if (name != layout::kContents) {
                throw refusal(kStatusUnsealedRoot,
                              "unsealed contents present in the bundle root: " + name);
            }
        }
    }

    void readCodeDirectories() {
        std::optional<Bytes> primary =
            readInside(signatureFd_.get(), layout::kCodeDirectory, kMaxBlob);
        if (!primary) {
            throw refusal(kStatusUnsigned, "no CodeDirectory");
        }
        addCodeDirectory(*primary, layout::kCodeDirectory);
        for (int i = 1; i <= layout::kMaxAlternateCodeDirectories; ++i) {
            const std::string name = layout::alternateCodeDirectory(i);
            if (std::optional<Bytes> alternate =
                    readInside(signatureFd_.get(), name.c_str(), kMaxBlob)) {
                addCodeDirectory(*alternate, name);
            }
        }
        for (std::size_t i = 0; i < directories_.size(); ++i) {
            if (directories_[i].identifier() != directories_[0].identifier() ||
                directories_[i].teamIdentifier() != directories_[0].teamIdentifier()) {
                throw refusal(kStatusMalformed, "the CodeDirectories disagree");
            }
            // One CodeDirectory per hash type, as the platform requires: with two of the
            // strongest type, which one the check goes by (its flags among others) would be
            // a matter of order.
            for (std::size_t j = 0; j < i; ++j) {
                if (directories_[j].hashType() == directories_[i].hashType()) {
                    throw refusal(kStatusSignatureInvalid,
                                  "two CodeDirectories of the same hash type");
                }
            }
            if (hashStrength(directories_[i].hashType()) > hashStrength(best().hashType())) {
                best_ = i;
            }
        }
    }

    void addCodeDirectory(const Bytes& blob, const std::string& name) {
        try {
            directories_.push_back(CodeDirectory::parse(blob));
        } catch (const Error& error) {
            throw refusal(kStatusMalformed,
                          name + " is not a valid CodeDirectory: " + error.what());
        }
    }

    const CodeDirectory& best() const { return directories_[best_]; }

    void verifySignature() {
        std::optional<Bytes> cms = readInside(signatureFd_.get(), layout::kSignature, kMaxBlob);
        if (!cms) {
            throw refusal(kStatusMalformed, "no CodeSignature");
        }
        std::vector<X509*> anchors;
        for (const auto& anchor : anchors_) {
            anchors.push_back(anchor.get());
        }
        std::vector<CodeDirectoryHashes> hashes;
        for (const CodeDirectory& cd : directories_) {
            hashes.push_back(cd.hashes());
        }
        // The signer's wish on expiry, as the CodeDirectory the check goes by states it.
        const bool enforceExpiry = (best().flags() & kCodeDirectoryFlagExpires) != 0;
        chain_ = verifyCms(*cms, directories_[0].blob(), anchors, hashes, enforceExpiry);
        X509* leaf = sk_X509_value(chain_.get(), 0);
        const std::optional<std::string>& team = directories_[0].teamIdentifier();
        if (team && subjectField(leaf, "OU") != *team) {
            throw refusal(kStatusTeamMismatch, "the team identifier is not the signer's");
        }
    }

    void verifySpecialSlots() {
        infoPlist_ = readInside(contentsFd_.get(), layout::kInfoPlist,
                                PropertyList::kInfoPlistLimits.maxSize);
        const std::optional<Bytes> requirements =
            readInside(signatureFd_.get(), layout::kRequirements, kMaxBlob);
        resources_ =
            readInside(signatureFd_.get(), layout::kResources, layout::kResourceSealLimits.maxSize);
        const CodeDirectory& cd = best();
        if (cd.specialSlotCount() < kSlotResources) {
            throw refusal(kStatusMalformed, "the resources are not sealed");
        }
        checkSpecialSlot(kSlotInfoPlist, infoPlist_, true, layout::kInfoPlist);
        checkSpecialSlot(kSlotRequirements, requirements, false, layout::kRequirements);
        checkSpecialSlot(kSlotResources, resources_, true, layout::kResources);
        for (std::uint32_t slot = kSlotResources + 1; slot <= cd.specialSlotCount(); ++slot) {
            if (!allZero(cd.specialSlot(slot))) {
                throw refusal(kStatusUnsupported, "special slot -" + std::to_string(slot));
            }
        }
        readInfo();
    }

    // An all-zero hash means the file is not sealed, which only CodeRequirements may be.
    void checkSpecialSlot(std::uint32_t slot, const std::optional<Bytes>& file, bool required,
                          const char* name) {
        const CodeDirectory& cd = best();
        ByteView expected = cd.specialSlot(slot);
        if (allZero(expected)) {
            if (required) {
                throw refusal(kStatusMalformed, std::string(name) + " is not sealed");
            }
            return;
        }
        if (!file || digest(cd.hashType(), *file) != copyOf(expected)) {
            throw refusal(kStatusComponentModified, std::string(name) + " was modified");
        }
    }

    void readInfo() {
        try {
            info_.emplace(PropertyList::parse(
                std::string_view(reinterpret_cast<const char*>(infoPlist_->data()),
                                 infoPlist_->size()),
                layout::kInfoPlist, PropertyList::kInfoPlistLimits));
        } catch (const Error& error) {
            throw refusal(kStatusMalformed, error.what());
        }
        if (!info_->isDictionary()) {
            throw refusal(kStatusMalformed, "Info.plist is not a dictionary");
        }
        verified_.buildNumber = info_->stringForKey("CFBundleVersion");
    }

    void verifyMainExecutable() {
        const std::string path = layout::mainExecutable(*info_);
        if (path != layout::kInfoPlist) {
            excluded_.push_back(path);
        }
        struct stat st {};
        UniqueFd fd;
        try {
            fd = openRegularFileAt(contentsFd_.get(), path, &st);
        } catch (const Error& error) {
            throw refusal(kStatusResourceMissing,
                          std::string("the main executable is missing: ") + error.what());
        }
        const auto size = static_cast<std::uint64_t>(st.st_size);
        refuseOwnSignature(fd.get(), size);
        for (const CodeDirectory& cd : directories_) {
            checkExecutable(cd, fd.get(), size);
        }
        if (path != layout::kInfoPlist) {
            verified_.executable = std::filesystem::path(layout::kContents) / path;
            verified_.executableIdentity = identityOf(st);
        }
    }

    static void refuseOwnSignature(int fd, std::uint64_t size) {
        switch (inspectMachO(fd, size)) {
            case MachOKind::NotMachO:
            case MachOKind::Unsigned: return;
            case MachOKind::Signed:
                throw refusal(kStatusUnsupported,
                              "the main executable carries its own signature (LC_CODE_SIGNATURE)");
            case MachOKind::Malformed:
                throw refusal(kStatusMalformed, "the main executable is a malformed Mach-O file");
        }
    }

    // The executable's size is the code limit and its pages hash to the code slots.
    static void checkExecutable(const CodeDirectory& cd, int fd, std::uint64_t size) {
        if (cd.codeLimit() != size) {
            throw refusal(kStatusExecutableModified, "the main executable's size changed");
        }
        const std::vector<Bytes> pages = pageDigests(cd, fd, size);
        if (pages.size() != cd.codeSlotCount()) {
            throw refusal(kStatusExecutableModified, "the main executable's pages changed");
        }
        for (std::uint32_t i = 0; i < pages.size(); ++i) {
            if (pages[i] != copyOf(cd.codeSlot(i))) {
                throw refusal(kStatusExecutableModified, "the main executable was modified");
            }
        }
    }

    static std::vector<Bytes> pageDigests(const CodeDirectory& cd, int fd, std::uint64_t size) {
        const std::filesystem::path shown = "the main executable";
        try {
            if (cd.pageSizeLog2() == 0) {
                return {digestFile(cd.hashType(), fd, shown, size)};
            }
            return digestPages(cd.hashType(), fd, shown, size,
                               std::uint64_t{1} << cd.pageSizeLog2());
        } catch (const Error& error) {
            if (isCryptoFailure(error)) {
                throw;  // OpenSSL's failure, not the executable's
            }
            throw refusal(kStatusExecutableModified,
                          std::string("the main executable cannot be read: ") + error.what());
        }
    }

    void verifyRequirement(const Requirement& requirement) {
        RequirementContext context;
        context.identifier = directories_[0].identifier();
        for (const CodeDirectory& cd : directories_) {
            context.cdhashes.push_back(cd.hashes().cdhash);
        }
        for (int i = 0; i < sk_X509_num(chain_.get()); ++i) {
            context.chain.push_back(sk_X509_value(chain_.get(), i));
        }
        const std::string anchor = certificateFingerprint(context.chain.back());
        context.anchorIsApple = std::any_of(
            anchors_.begin(), anchors_.end(),
            [&](const X509Ptr& a) { return certificateFingerprint(a.get()) == anchor; });
        context.infoString = [this](const std::string& key) { return info_->stringForKey(key); };
        bool satisfied = false;
        try {
            satisfied = evaluateRequirement(requirement.root(), context);
        } catch (const Error& error) {
            throw refusal(statusOf(error), std::string("requirement: ") + error.what());
        }
        if (!satisfied) {
            throw refusal(kStatusRequirementFailed, "the requirement is not met");
        }
    }

    const std::vector<X509Ptr>& anchors_;
    const StaticCode& code_;
    DigestCache* cache_;  // the session's digests, when the check runs in one
    UniqueFd bundleFd_, contentsFd_, signatureFd_;
    std::vector<CodeDirectory> directories_;
    std::size_t best_ = 0;
    CertificateStackPtr chain_;
    std::optional<Bytes> infoPlist_, resources_;
    std::optional<PropertyList> info_;
    std::vector<std::string> excluded_;
    VerifiedBundle verified_;
};

}  // namespace

VerificationSession::VerificationSession() : digests_(std::make_unique<DigestCache>()) {}

VerificationSession::~VerificationSession() = default;

void VerificationSession::readAhead(int folder, std::filesystem::path relative) noexcept {
    try {
        std::lock_guard lock(prefetchMutex_);
        if (!prefetch_) {
            prefetch_ = std::make_unique<DigestPrefetch>(HashType::Sha256, *digests_);
        }
        prefetch_->add(folder, std::move(relative));
    } catch (...) {
        // Out of memory: this file is not read ahead, and the check reads it itself.
    }
}

void VerificationSession::stopReadingAhead() noexcept {
    std::unique_ptr<DigestPrefetch> stopped;
    {
        std::lock_guard lock(prefetchMutex_);
        stopped = std::move(prefetch_);
    }
    // Ended (its file in hand finished) outside the lock.
}

CodeSigning::CodeSigning() : CodeSigning(std::vector<std::string>{}) {}

CodeSigning::CodeSigning(const std::vector<std::string>& extraAnchorsPem) {
    // OpenSSL failing here (no provider offering the digest of the roots' fingerprints, no
    // memory) must not end the program that makes the service, often at its start: the
    // service is made all the same, and every check answers with the reason.
    auto remember = [this](const char* what, const std::exception& failure) {
        if (cannotCheck_.empty()) {
            cannotCheck_ = std::string(what) + ": " + failure.what();
        }
    };
    try {
        anchors_ = appleRootCertificates();
    } catch (const std::exception& failure) {
        remember("Apple's roots cannot be loaded", failure);
    }
    for (const std::string& pem : extraAnchorsPem) {
        try {
            BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
            if (!bio) {
                throw openSslError(codesign_code::kCryptoFailed, "cannot read the PEM text");
            }
            X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
            if (!certificate) {
                throw openSslError(codesign_code::kBadIdentity,
                                   "an extra anchor is not a PEM certificate");
            }
            anchors_.push_back(std::move(certificate));
        } catch (const Error& failure) {
            if (!isCryptoFailure(failure)) {
                throw;
            }
            remember("an extra anchor cannot be loaded", failure);
        } catch (const std::bad_alloc& failure) {
            remember("an extra anchor cannot be loaded", failure);
        }
    }
}

Status CodeSigning::createStaticCodeWithPath(const std::filesystem::path& path, std::uint32_t flags,
                                             std::unique_ptr<StaticCode>& code) const {
    code.reset();
    if (flags != kDefaultFlags) {
        return kStatusInvalidFlags;
    }
    UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        return kStatusNoSuchCode;
    }
    code = std::make_unique<StaticCode>(std::move(folder), path);
    return kStatusOk;
}

Status CodeSigning::createStaticCodeWithFolder(int folder, const std::filesystem::path& path,
                                               std::uint32_t flags,
                                               std::unique_ptr<StaticCode>& code) const {
    code.reset();
    if (flags != kDefaultFlags) {
        return kStatusInvalidFlags;
    }
    UniqueFd held(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    struct stat st {};
    if (!held || ::fstat(held.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return kStatusNoSuchCode;
    }
    code = std::make_unique<StaticCode>(std::move(held), path);
    return kStatusOk;
}

Status CodeSigning::createRequirementWithString(std::string_view text, std::uint32_t flags,
                                                std::unique_ptr<Requirement>& requirement,
                                                std::string* error) const {
    requirement.reset();
    if (flags != kDefaultFlags) {
        return kStatusInvalidFlags;
    }
    try {
        requirement = std::make_unique<Requirement>(std::string(text), parseRequirement(text));
    } catch (const Error& syntax) {
        if (error != nullptr) {
            *error = syntax.what();
        }
        return statusOf(syntax);
    }
    return kStatusOk;
}

Status CodeSigning::checkValidity(const StaticCode* code, std::uint32_t flags,
                                  const Requirement* requirement, std::string* detail,
                                  VerifiedBundle* verified, VerificationSession* session) const {
    if (!cannotCheck_.empty()) {
        tell(detail, cannotCheck_.c_str());
        return kStatusInternalError;
    }
    if ((flags & ~kCheckAllArchitectures) != 0) {
        return kStatusInvalidFlags;
    }
    if (code == nullptr) {
        return kStatusInvalidObject;
    }
    // The check's many small allocations are freed at its end; hand the memory back to the
    // system too, so that checks on several threads do not add up in the process's size.
    struct TrimAfter {
        ~TrimAfter() { ::malloc_trim(0); }
    } trim;
    try {
        DigestCache* digests = session != nullptr ? &session->digests() : nullptr;
        VerifiedBundle passed = Check(anchors_, *code, digests).run(requirement);
        if (verified != nullptr) {
            *verified = std::move(passed);
        }
    } catch (const Error& failure) {
        tell(detail, failure.what());
        return statusOf(failure);
    } catch (const std::bad_alloc&) {
        return kStatusMalformed;
    } catch (const std::exception& failure) {
        tell(detail, failure.what());  // e.g. a std::system_error: the system failed the check
        return kStatusInternalError;
    } catch (...) {
        tell(detail, "the check ended in a failure of unknown kind");
        return kStatusInternalError;
    }
    return kStatusOk;
}

}  // namespace tessuro::codesign
