// The check of a bundle signature: the CodeDirectories, the CMS signature and its chain,
// the special slots, the main executable, the sealed resources, then the requirement.

#include "platform/codesign/code_signing.h"

#include <fcntl.h>
#include <malloc.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <stdexcept>

#include "platform/codesign/apple_roots.h"
#include "platform/codesign/cms_signature.h"
#include "platform/codesign/code_directory.h"
#include "platform/codesign/code_resources.h"
#include "platform/codesign/mach_o.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/property_list.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {
namespace {

constexpr std::size_t kMaxBlob = 16u << 20;

// A result with a sentence for tools.
struct Failure {
    int status;
    std::string detail;
};

UniqueFd openFolder(int parent, const char* name) {
    return UniqueFd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// A regular file inside the bundle, read whole; a link is never followed. Nothing when
// there is no such file; a failure when something else stands there or it is too large.
std::optional<Bytes> readInside(int folder, const std::string& name, std::size_t limit) {
    UniqueFd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throw Failure{kStatusMalformed, name + " cannot be read"};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > limit) {
        throw Failure{kStatusMalformed, name + " is not a regular file of a sensible size"};
    }
    Bytes data(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw Failure{kStatusMalformed, name + " cannot be read"};
        }
        done += static_cast<std::size_t>(n);
    }
    return data;
}

bool allZero(ByteView bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

X509Ptr certificateFromBase64(const char* base64) {
    std::string text(base64);
    Bytes der(text.size());
    int length = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0) {
        return nullptr;
    }
    std::size_t padding = static_cast<std::size_t>(
        std::count(text.end() - std::min<std::size_t>(2, text.size()), text.end(), '='));
    const unsigned char* p = der.data();
    return X509Ptr(
        d2i_X509(nullptr, &p, static_cast<long>(static_cast<std::size_t>(length) - padding)));
}

class Check {
public:
    Check(const std::vector<X509Ptr>& anchors, const std::filesystem::path& bundle,
          DigestCache* cache)
        : anchors_(anchors), bundle_(bundle), cache_(cache) {}

    void run(const Requirement* requirement) {
        openFolders();
        readCodeDirectories();
        verifySignature();
        verifySpecialSlots();
        verifyMainExecutable();
        verifyResources();
        if (requirement != nullptr) {
            verifyRequirement(*requirement);
        }
    }

private:
    void openFolders() {
        bundleFd_.reset(::open(bundle_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!bundleFd_) {
            throw Failure{kStatusNoSuchCode, "no bundle folder at " + bundle_.string()};
        }
        contentsFd_ = openFolder(bundleFd_.get(), "Contents");
        if (!contentsFd_) {
            throw Failure{kStatusUnsigned, "the bundle has no Contents folder"};
        }
        signatureFd_ = openFolder(contentsFd_.get(), "_CodeSignature");
        if (!signatureFd_) {
            throw Failure{errno == ENOENT ? kStatusUnsigned : kStatusMalformed,
                          "no Contents/_CodeSignature folder"};
        }
        // The seal covers what lies below Contents; anything beside it is unsealed.
        std::vector<std::string> root;
        try {
            root = folderEntries(bundleFd_.get(), bundle_);
        } catch (const Error&) {
            throw Failure{kStatusMalformed, "the bundle folder cannot be read"};
        }
        std::sort(root.begin(), root.end());
        for (const std::string& name : root) {
            if (name != "Contents") {
                throw Failure{kStatusUnsealedRoot,
                              "unsealed contents present in the bundle root: " + name};
            }
        }
    }

    void readCodeDirectories() {
        std::optional<Bytes> primary = readInside(signatureFd_.get(), "CodeDirectory", kMaxBlob);
        if (!primary) {
            throw Failure{kStatusUnsigned, "no CodeDirectory"};
        }
        addCodeDirectory(*primary, "CodeDirectory");
        for (int i = 1; i <= 5; ++i) {
            std::string name = "CodeRequirements-" + std::to_string(i);
            if (std::optional<Bytes> alternate = readInside(signatureFd_.get(), name, kMaxBlob)) {
                addCodeDirectory(*alternate, name);
            }
        }
        for (std::size_t i = 0; i < directories_.size(); ++i) {
            if (directories_[i].identifier() != directories_[0].identifier() ||
                directories_[i].teamIdentifier() != directories_[0].teamIdentifier()) {
                throw Failure{kStatusMalformed, "the CodeDirectories disagree"};
            }
            if (hashStrength(directories_[i].hashType()) > hashStrength(best().hashType())) {
                best_ = i;
            }
        }
    }

    void addCodeDirectory(const Bytes& blob, const std::string& name) {
        std::optional<CodeDirectory> cd = CodeDirectory::parse(blob);
        if (!cd) {
            throw Failure{kStatusMalformed, name + " is not a valid CodeDirectory"};
        }
        directories_.push_back(std::move(*cd));
    }

    const CodeDirectory& best() const { return directories_[best_]; }

    void verifySignature() {
        std::optional<Bytes> cms = readInside(signatureFd_.get(), "CodeSignature", kMaxBlob);
        if (!cms) {
            throw Failure{kStatusMalformed, "no CodeSignature"};
        }
        std::vector<X509*> anchors;
        for (const auto& anchor : anchors_) {
            anchors.push_back(anchor.get());
        }
        std::vector<CodeDirectoryHashes> hashes;
        for (const CodeDirectory& cd : directories_) {
            hashes.push_back({cd.hashType(), cd.cdhash(), digest(cd.hashType(), cd.blob())});
            cdhashes_.push_back(cd.cdhash());
        }
        CmsVerdict verdict = verifyCms(*cms, directories_[0].blob(), anchors, hashes);
        switch (verdict.result) {
            case CmsVerdict::Result::Valid: break;
            case CmsVerdict::Result::AdHoc: throw Failure{kStatusAdHoc, "ad-hoc signature"};
            case CmsVerdict::Result::Malformed: throw Failure{kStatusMalformed, verdict.detail};
            case CmsVerdict::Result::SignatureInvalid:
                throw Failure{kStatusSignatureInvalid, verdict.detail};
            case CmsVerdict::Result::Untrusted: throw Failure{kStatusUntrusted, verdict.detail};
        }
        chain_ = std::move(verdict.chain);
        X509* leaf = sk_X509_value(chain_.get(), 0);
        const std::optional<std::string>& team = directories_[0].teamIdentifier();
        if (team && subjectField(leaf, "OU") != *team) {
            throw Failure{kStatusTeamMismatch, "the team identifier is not the signer's"};
        }
    }

    void verifySpecialSlots() {
        infoPlist_ = readInside(contentsFd_.get(), "Info.plist", PropertyList::kMaxSize);
        std::optional<Bytes> requirements =
            readInside(signatureFd_.get(), "CodeRequirements", kMaxBlob);
        resources_ = readInside(signatureFd_.get(), "CodeResources", PropertyList::kMaxSize);
        const CodeDirectory& cd = best();
        if (cd.specialSlotCount() < kSlotResources) {
            throw Failure{kStatusMalformed, "the resources are not sealed"};
        }
        auto check = [&](std::uint32_t slot, const std::optional<Bytes>& file, bool required,
                         const char* name) {
            ByteView expected = *cd.specialSlot(slot);
            if (allZero(expected)) {
                if (required) {
                    throw Failure{kStatusMalformed, std::string(name) + " is not sealed"};
                }
                return;
            }
            if (!file || digest(cd.hashType(), *file) != Bytes(expected.begin(), expected.end())) {
                throw Failure{kStatusComponentModified, std::string(name) + " was modified"};
            }
        };
        check(kSlotInfoPlist, infoPlist_, true, "Info.plist");
        check(kSlotRequirements, requirements, false, "CodeRequirements");
        check(kSlotResources, resources_, true, "CodeResources");
        for (std::uint32_t slot = kSlotResources + 1; slot <= cd.specialSlotCount(); ++slot) {
            if (!allZero(*cd.specialSlot(slot))) {
                throw Failure{kStatusUnsupported, "special slot -" + std::to_string(slot)};
            }
        }
        try {
            info_.emplace(PropertyList::parse(
                std::string_view(reinterpret_cast<const char*>(infoPlist_->data()),
                                 infoPlist_->size()),
                "Info.plist"));
        } catch (...) {
            throw Failure{kStatusMalformed, "Info.plist is not a property list"};
        }
        if (!info_->isDictionary()) {
            throw Failure{kStatusMalformed, "Info.plist is not a dictionary"};
        }
    }

    void verifyMainExecutable() {
        std::optional<std::string> name = info_->stringForKey("CFBundleExecutable");
        UniqueFd folder;
        std::string file;
        if (name) {
            if (name->empty() || name->find('/') != std::string::npos || *name == "." ||
                *name == "..") {
                throw Failure{kStatusMalformed, "CFBundleExecutable is not a file name"};
            }
            folder = openFolder(contentsFd_.get(), "MacOS");
            file = *name;
            excluded_.push_back("MacOS/" + *name);
        } else {
            folder.reset(::fcntl(contentsFd_.get(), F_DUPFD_CLOEXEC, 0));
            file = "Info.plist";  // without an executable, Info.plist stands for it
        }
        UniqueFd fd(folder ? ::openat(folder.get(), file.c_str(),
                                      O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)
                           : -1);
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            throw Failure{kStatusResourceMissing, "the main executable is missing"};
        }
        std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
        switch (inspectMachO(fd.get(), size)) {
            case MachOKind::NotMachO:
            case MachOKind::Unsigned: break;
            case MachOKind::Signed:
                throw Failure{kStatusUnsupported,
                              "the main executable carries its own signature (LC_CODE_SIGNATURE)"};
            case MachOKind::Malformed:
                throw Failure{kStatusMalformed, "the main executable is a malformed Mach-O file"};
        }
        for (const CodeDirectory& cd : directories_) {
            if (cd.codeLimit() != size) {
                throw Failure{kStatusExecutableModified, "the main executable's size changed"};
            }
            std::uint64_t pageSize =
                cd.pageSizeLog2() == 0 ? 0 : std::uint64_t{1} << cd.pageSizeLog2();
            std::vector<Bytes> pages;
            if (pageSize == 0) {
                std::optional<Bytes> whole = digestFile(cd.hashType(), fd.get(), size);
                if (!whole) {
                    throw Failure{kStatusExecutableModified, "the main executable cannot be read"};
                }
                pages.push_back(*whole);
            } else {
                auto paged = digestPages(cd.hashType(), fd.get(), size, pageSize);
                if (!paged) {
                    throw Failure{kStatusExecutableModified, "the main executable cannot be read"};
                }
                pages = std::move(*paged);
            }
            if (pages.size() != cd.codeSlotCount()) {
                throw Failure{kStatusExecutableModified, "the main executable's pages changed"};
            }
            for (std::uint32_t i = 0; i < pages.size(); ++i) {
                ByteView slot = *cd.codeSlot(i);
                if (pages[i] != Bytes(slot.begin(), slot.end())) {
                    throw Failure{kStatusExecutableModified, "the main executable was modified"};
                }
            }
        }
    }

    void verifyResources() {
        ResourceVerdict verdict =
            tessuro::codesign::verifyResources(*resources_, contentsFd_.get(), excluded_, cache_);
        switch (verdict.check) {
            case ResourceCheck::Intact: return;
            case ResourceCheck::Malformed:
                throw Failure{kStatusMalformed, "CodeResources is malformed"};
            case ResourceCheck::Modified:
                throw Failure{kStatusResourceModified, "modified: " + verdict.path};
            case ResourceCheck::Added:
                throw Failure{kStatusResourceAdded, "added: " + verdict.path};
            case ResourceCheck::Missing:
                throw Failure{kStatusResourceMissing, "missing: " + verdict.path};
            case ResourceCheck::Unsupported:
                throw Failure{kStatusUnsupported, "cannot check: " + verdict.path};
        }
    }

    void verifyRequirement(const Requirement& requirement) {
        RequirementContext context;
        context.identifier = directories_[0].identifier();
        context.cdhashes = cdhashes_;
        for (int i = 0; i < sk_X509_num(chain_.get()); ++i) {
            context.chain.push_back(sk_X509_value(chain_.get(), i));
        }
        std::string anchor = certificateFingerprint(context.chain.back());
        context.anchorIsApple = std::any_of(
            anchors_.begin(), anchors_.end(),
            [&](const X509Ptr& a) { return certificateFingerprint(a.get()) == anchor; });
        context.infoString = [this](const std::string& key) { return info_->stringForKey(key); };
        bool satisfied = false;
        try {
            satisfied = evaluateRequirement(requirement.root(), context);
        } catch (const UnsupportedRequirement& unsupported) {
            throw Failure{kStatusUnsupported, std::string("requirement: ") + unsupported.what()};
        }
        if (!satisfied) {
            throw Failure{kStatusRequirementFailed, "the requirement is not met"};
        }
    }

    const std::vector<X509Ptr>& anchors_;
    std::filesystem::path bundle_;
    DigestCache* cache_;  // what this thread's caller already read, if it keeps a memo
    UniqueFd bundleFd_, contentsFd_, signatureFd_;
    std::vector<CodeDirectory> directories_;
    std::size_t best_ = 0;
    std::vector<Bytes> cdhashes_;
    CertificateStackPtr chain_;
    std::optional<Bytes> infoPlist_, resources_;
    std::optional<PropertyList> info_;
    std::vector<std::string> excluded_;
};

}  // namespace

const char* statusName(int status) {
    switch (status) {
        case kStatusOk: return "valid";
        case kStatusNoSuchCode: return "no such bundle";
        case kStatusUnsigned: return "not signed";
        case kStatusMalformed: return "signature malformed";
        case kStatusComponentModified:
            return "Info.plist, CodeRequirements or CodeResources modified";
        case kStatusExecutableModified: return "main executable modified";
        case kStatusResourceModified: return "sealed resource modified";
        case kStatusResourceAdded: return "file added";
        case kStatusResourceMissing: return "sealed resource missing";
        case kStatusAdHoc: return "ad-hoc signature";
        case kStatusSignatureInvalid: return "CMS signature invalid";
        case kStatusUntrusted: return "certificate chain not trusted";
        case kStatusTeamMismatch: return "team identifier mismatch";
        case kStatusRequirementFailed: return "requirement not met";
        case kStatusUnsupported: return "unsupported feature";
        case kStatusRequirementSyntax: return "requirement syntax error";
        case kStatusInvalidFlags: return "invalid flags";
        case kStatusInvalidObject: return "invalid object";
        case kStatusUnsealedRoot: return "unsealed contents present in the bundle root";
        default: return "unknown status";
    }
}

std::string certificateFingerprint(X509* certificate) {
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate, &der);
    if (length < 0) {
        return {};
    }
    Bytes hash(SHA256_DIGEST_LENGTH);
    SHA256(der, static_cast<std::size_t>(length), hash.data());
    OPENSSL_free(der);
    std::string hex = toHex(hash);
    std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
    return hex;
}

CodeSigning::CodeSigning() : CodeSigning(std::vector<std::string>{}) {}

CodeSigning::CodeSigning(const std::vector<std::string>& extraAnchorsPem) {
    for (const AppleRoot& root : appleRoots()) {
        X509Ptr certificate = certificateFromBase64(root.base64Der);
        if (certificate && certificateFingerprint(certificate.get()) == root.sha256) {
            anchors_.push_back(std::move(certificate));
        }
    }
    for (const std::string& pem : extraAnchorsPem) {
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!certificate) {
            throw std::invalid_argument("an extra anchor is not a PEM certificate");
        }
        anchors_.push_back(std::move(certificate));
    }
}

int CodeSigning::createStaticCodeWithPath(const std::filesystem::path& path, std::uint32_t flags,
                                          std::unique_ptr<StaticCode>& code) const {
    code.reset();
    if (flags != kDefaultFlags) {
        return kStatusInvalidFlags;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return kStatusNoSuchCode;
    }
    code = std::make_unique<StaticCode>(path);
    return kStatusOk;
}

int CodeSigning::createRequirementWithString(std::string_view text, std::uint32_t flags,
                                             std::unique_ptr<Requirement>& requirement,
                                             std::string* error) const {
    requirement.reset();
    if (flags != kDefaultFlags) {
        return kStatusInvalidFlags;
    }
    try {
        requirement = std::make_unique<Requirement>(std::string(text), parseRequirement(text));
    } catch (const RequirementSyntaxError& syntax) {
        if (error != nullptr) {
            *error = syntax.what();
        }
        return kStatusRequirementSyntax;
    }
    return kStatusOk;
}

int CodeSigning::checkValidity(const StaticCode* code, std::uint32_t flags,
                               const Requirement* requirement, std::string* detail) const {
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
        Check(anchors_, code->path(), digestsInUse()).run(requirement);
    } catch (const Failure& failure) {
        if (detail != nullptr) {
            *detail = failure.detail;
        }
        return failure.status;
    } catch (const std::bad_alloc&) {
        return kStatusMalformed;
    }
    return kStatusOk;
}

}  // namespace tessuro::codesign
