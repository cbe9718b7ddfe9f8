#include "codesign/signer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "codesign/cms_signature.h"
#include "codesign/code_directory.h"
#include "codesign/mach_o.h"
#include "codesign/requirement.h"
#include "codesign/resource_seal_builder.h"
#include "codesign/signature_layout.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/property_list.h"
#include "platform/tree_copy.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {
namespace {

[[noreturn]] void notSignable(const std::string& why) {
    throw codesignError(codesign_code::kNotSignable, why);
}

UniqueFd openFolderAt(int parent, const char* name, const std::filesystem::path& shown) {
    UniqueFd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        throw posixError(errno, "无法打开文件夹", shown);
    }
    return fd;
}

// Only Contents is sealed: anything beside it would travel with the bundle unchecked.
void refuseUnsealedRoot(int bundleFd, const std::filesystem::path& bundle) {
    for (const std::string& name : folderEntries(bundleFd, bundle)) {
        if (name != layout::kContents) {
            notSignable("unsealed contents present in the bundle root: " + name +
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
            notSignable(shown + " carries its own signature (LC_CODE_SIGNATURE): remove it first");
        case MachOKind::Malformed:
            throw codesignError(codesign_code::kMalformed, shown + " is a malformed Mach-O file");
    }
}

// What a signature seals, read from the bundle as the verifier reads it.
struct BundleToSign {
    std::filesystem::path path;
    UniqueFd contents;
    Bytes infoPlist;
    std::string identifier;
    std::string executable;  // below Contents
    UniqueFd executableFd;
    std::uint64_t executableSize = 0;
    std::vector<std::string> excluded;  // from the seal: the main executable
};

void readInfo(BundleToSign& b, const SignOptions& options) {
    const std::string text = readFileContentsAt(b.contents.get(), layout::kInfoPlist,
                                                PropertyList::kInfoPlistLimits.maxSize);
    b.infoPlist.assign(text.begin(), text.end());
    const PropertyList info =
        PropertyList::parse(text, (b.path / layout::kContents / layout::kInfoPlist).string(),
                            PropertyList::kInfoPlistLimits);
    b.identifier =
        options.identifier.value_or(info.stringForKey("CFBundleIdentifier").value_or(""));
    if (b.identifier.empty()) {
        notSignable("no identifier: Info.plist has no CFBundleIdentifier and none was given");
    }
    b.executable = layout::mainExecutable(info);
}

void openExecutable(BundleToSign& b) {
    const std::string shown = (b.path / layout::kContents / b.executable).string();
    struct stat status {};
    b.executableFd = openRegularFileAt(b.contents.get(), b.executable, &status);
    b.executableSize = static_cast<std::uint64_t>(status.st_size);
    refuseSignedMachO(b.executableFd.get(), b.executableSize, shown);
    if (b.executable != layout::kInfoPlist) {
        b.excluded.push_back(b.executable);
    }
}

BundleToSign readBundle(const std::filesystem::path& bundle, const SignOptions& options) {
    BundleToSign b;
    b.path = bundle;
    UniqueFd bundleFd(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!bundleFd) {
        throw posixError(errno, "无法打开文件夹", bundle);
    }
    refuseUnsealedRoot(bundleFd.get(), bundle);
    b.contents = openFolderAt(bundleFd.get(), layout::kContents, bundle / layout::kContents);
    readInfo(b, options);
    openExecutable(b);
    return b;
}

struct Directory {
    HashType type;
    Bytes blob;
};

// One CodeDirectory per hash type, the primary first.
std::vector<Directory> buildCodeDirectories(const BundleToSign& b, const std::string& team,
                                            ByteView requirements, ByteView resources,
                                            const SignOptions& options) {
    std::vector<HashType> types{HashType::Sha256};
    if (options.sha1Primary) {
        types.insert(types.begin(), HashType::Sha1);
    }
    std::vector<Directory> directories;
    for (HashType type : types) {
        CodeDirectoryContent content;
        content.identifier = b.identifier;
        content.teamIdentifier = team;
        content.hashType = type;
        content.flags = options.enforceExpiry ? kCodeDirectoryFlagExpires : 0;
        content.infoPlistHash = digest(type, b.infoPlist);
        content.requirementsHash = digest(type, requirements);
        content.resourcesHash = digest(type, resources);
        content.executableHash =
            digestFile(type, b.executableFd.get(), b.executable, b.executableSize);
        content.executableSize = b.executableSize;
        directories.push_back({type, buildCodeDirectory(content)});
    }
    return directories;
}

Bytes sign(const std::vector<Directory>& directories, const SigningIdentity& identity) {
    std::vector<CodeDirectoryHashes> hashes;
    for (const Directory& directory : directories) {
        hashes.push_back(codeDirectoryHashes(directory.type, directory.blob));
    }
    std::vector<X509*> chain;
    for (const auto& certificate : identity.chain) {
        chain.push_back(certificate.get());
    }
    return signCms(directories.front().blob, identity.key.get(), chain.front(), chain, hashes);
}

void writeWhole(int folder, const std::string& name, ByteView data) {
    const std::filesystem::path shown = std::filesystem::path(layout::kSignatureFolder) / name;
    UniqueFd fd(::openat(folder, name.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) {
        throw posixError(errno, "无法写入磁盘", shown);
    }
    writeAll(fd.get(), std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
             shown);
}

// Contents/_CodeSignature anew, with every file of the signature.
void writeSignature(int contentsFd, const std::vector<Directory>& directories,
                    ByteView requirements, ByteView resources, ByteView cms) {
    removeTree(contentsFd, layout::kSignatureFolder);
    if (::mkdirat(contentsFd, layout::kSignatureFolder, 0755) != 0) {
        throw posixError(errno, "无法创建文件夹",
                         std::filesystem::path(layout::kContents) / layout::kSignatureFolder);
    }
    const UniqueFd folder =
        openFolderAt(contentsFd, layout::kSignatureFolder, layout::kSignatureFolder);
    writeWhole(folder.get(), layout::kCodeDirectory, directories.front().blob);
    for (std::size_t i = 1; i < directories.size(); ++i) {
        writeWhole(folder.get(), layout::alternateCodeDirectory(static_cast<int>(i)),
                   directories[i].blob);
    }
    writeWhole(folder.get(), layout::kRequirements, requirements);
    writeWhole(folder.get(), layout::kResources, resources);
    writeWhole(folder.get(), layout::kSignature, cms);
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
        throw codesignError(codesign_code::kBadIdentity,
                            "the signing identity needs a key and a certificate");
    }
    const BundleToSign b = readBundle(bundle, options);
    const std::optional<std::string> team = subjectField(identity.chain.front().get(), "OU");
    const Bytes resources = buildResourceSeal(b.contents.get(), b.excluded);
    const Bytes requirements = encodeDesignatedRequirementSet(*parseRequirement(
        options.requirement.value_or(defaultDesignatedRequirement(b.identifier, team))));
    const std::vector<Directory> directories =
        buildCodeDirectories(b, team.value_or(""), requirements, resources, options);
    const Bytes cms = sign(directories, identity);
    writeSignature(b.contents.get(), directories, requirements, resources, cms);
}

}  // namespace tessuro::codesign
