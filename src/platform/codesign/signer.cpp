#include "platform/codesign/signer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/codesign/cms_signature.h"
#include "platform/codesign/code_directory.h"
#include "platform/codesign/code_resources.h"
#include "platform/codesign/mach_o.h"
#include "platform/codesign/requirement.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/property_list.h"
#include "platform/tree_copy.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

void writeWhole(int folder, const char* name, ByteView data) {
    UniqueFd fd(
        ::openat(folder, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) {
        fail(std::string("cannot write _CodeSignature/") + name);
    }
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
        if (n <= 0) {
            fail(std::string("cannot write _CodeSignature/") + name);
        }
        done += static_cast<std::size_t>(n);
    }
}

// Only Contents is sealed: anything beside it would travel with the bundle unchecked.
void refuseUnsealedRoot(int bundleFd, const std::filesystem::path& bundle) {
    for (const std::string& name : folderEntries(bundleFd, bundle)) {
        if (name != "Contents") {
            fail("unsealed contents present in the bundle root: " + name +
                 " (only Contents may stand there)");
        }
    }
}

// A Mach-O executable with a signature of its own is signed in that embedded form, which
// this signer does not write.
void refuseSignedMachO(int fd, std::uint64_t size, const std::string& shown) {
    switch (inspectMachO(fd, size)) {
        case MachOKind::NotMachO:
        case MachOKind::Unsigned: return;
        case MachOKind::Signed:
            fail(shown + " carries its own signature (LC_CODE_SIGNATURE): remove it first");
        case MachOKind::Malformed: fail(shown + " is a malformed Mach-O file");
    }
}

// The main executable below Contents as the verifier finds it: MacOS/<CFBundleExecutable>,
// or Info.plist when the bundle names none.
std::string executablePath(const PropertyList& info) {
    std::optional<std::string> name = info.stringForKey("CFBundleExecutable");
    if (!name) {
        return "Info.plist";
    }
    if (name->empty() || name->find('/') != std::string::npos || *name == "." || *name == "..") {
        fail("CFBundleExecutable is not a file name: " + *name);
    }
    return "MacOS/" + *name;
}

}  // namespace

std::string defaultDesignatedRequirement(const std::string& identifier,
                                         const std::optional<std::string>& team) {
    std::string text = "anchor apple generic and identifier \"" + identifier + "\"";
    if (team) {
        text += " and certificate leaf[subject.OU] = \"" + *team + "\"";
    }
    return text;
}

void signBundle(const std::filesystem::path& bundle, const SigningIdentity& identity,
                const SignOptions& options) {
    if (!identity.key || identity.chain.empty()) {
        fail("the signing identity needs a key and a certificate");
    }
    // Everything is read as the verifier reads it: below the bundle folder, without
    // following a link and only from regular files.
    UniqueFd bundleFd(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!bundleFd) {
        fail("no bundle folder at " + bundle.string());
    }
    refuseUnsealedRoot(bundleFd.get(), bundle);
    UniqueFd contentsFd(
        ::openat(bundleFd.get(), "Contents", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!contentsFd) {
        fail("no Contents folder in " + bundle.string());
    }
    std::string infoText;
    try {
        infoText = readFileContentsAt(contentsFd.get(), "Info.plist", PropertyList::kMaxSize);
    } catch (const Error& error) {
        fail(error.what());
    }
    const Bytes infoPlist(infoText.begin(), infoText.end());
    PropertyList info = PropertyList::parse(infoText, (bundle / "Contents/Info.plist").string());
    std::string identifier =
        options.identifier.value_or(info.stringForKey("CFBundleIdentifier").value_or(""));
    if (identifier.empty()) {
        fail("no identifier: Info.plist has no CFBundleIdentifier and none was given");
    }
    X509* leaf = identity.chain.front().get();
    std::optional<std::string> team = subjectField(leaf, "OU");

    const std::string executable = executablePath(info);
    const std::string shownExecutable = (bundle / "Contents" / executable).string();
    struct stat executableStatus {};
    UniqueFd executableFd;
    try {
        executableFd = openRegularFileAt(contentsFd.get(), executable, &executableStatus);
    } catch (const Error& error) {
        fail(error.what());
    }
    const auto executableSize = static_cast<std::uint64_t>(executableStatus.st_size);
    refuseSignedMachO(executableFd.get(), executableSize, shownExecutable);
    std::vector<std::string> excluded;
    if (executable != "Info.plist") {
        excluded.push_back(executable);
    }

    removeTree(contentsFd.get(), "_CodeSignature");
    if (::mkdirat(contentsFd.get(), "_CodeSignature", 0755) != 0) {
        fail("cannot create Contents/_CodeSignature");
    }
    UniqueFd signatureFd(::openat(contentsFd.get(), "_CodeSignature",
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));

    const Bytes resources = buildResources(contentsFd.get(), excluded);
    if (resources.empty()) {
        fail("cannot seal the resources (a special file, or an unreadable one?)");
    }
    std::unique_ptr<RequirementNode> designated;
    try {
        designated = parseRequirement(
            options.requirement.value_or(defaultDesignatedRequirement(identifier, team)));
    } catch (const RequirementSyntaxError& error) {
        fail(error.what());
    }
    const Bytes requirements = encodeDesignatedRequirementSet(*designated);

    std::vector<HashType> types{HashType::Sha256};
    if (options.sha1Primary) {
        types.insert(types.begin(), HashType::Sha1);
    }
    std::vector<Bytes> directories;
    std::vector<CodeDirectoryHashes> hashes;
    for (HashType type : types) {
        CodeDirectoryContent content;
        content.identifier = identifier;
        content.teamIdentifier = team.value_or("");
        content.hashType = type;
        content.infoPlistHash = digest(type, infoPlist);
        content.requirementsHash = digest(type, requirements);
        content.resourcesHash = digest(type, resources);
        std::optional<Bytes> executableHash = digestFile(type, executableFd.get(), executableSize);
        if (!executableHash) {
            fail("cannot read " + shownExecutable);
        }
        content.executableHash = std::move(*executableHash);
        content.executableSize = executableSize;
        Bytes blob = buildCodeDirectory(content);
        Bytes cdhash = digest(type, blob);
        cdhash.resize(20);
        hashes.push_back({type, cdhash, digest(type, blob)});
        directories.push_back(std::move(blob));
    }
    std::vector<X509*> chain;
    for (const auto& certificate : identity.chain) {
        chain.push_back(certificate.get());
    }
    const Bytes cms = signCms(directories.front(), identity.key.get(), leaf, chain, hashes);
    if (cms.empty()) {
        fail("cannot make the CMS signature (does the key belong to the certificate?)");
    }
    writeWhole(signatureFd.get(), "CodeDirectory", directories.front());
    for (std::size_t i = 1; i < directories.size(); ++i) {
        writeWhole(signatureFd.get(), ("CodeRequirements-" + std::to_string(i)).c_str(),
                   directories[i]);
    }
    writeWhole(signatureFd.get(), "CodeRequirements", requirements);
    writeWhole(signatureFd.get(), "CodeResources", resources);
    writeWhole(signatureFd.get(), "CodeSignature", cms);
}

}  // namespace tessuro::codesign
