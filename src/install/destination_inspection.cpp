#include "install/destination_inspection.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "install/product.h"
#include "platform/error.h"
#include "platform/property_list.h"

namespace tessuro {
namespace {

constexpr const char* kInfoPlist = "Contents/Info.plist";

[[noreturn]] void notADirectory() {
    throw installerError("同名位置不是应用目录，未替换原文件");
}

}  // namespace

std::string identityText(const FileIdentity& identity) {
    return std::to_string(identity.device) + "|" + std::to_string(identity.inode);
}

std::optional<DestinationItem> inspectDestination(FileSystem& files, int folder,
                                                  const std::string& name) {
    UniqueFd held;
    try {
        held = files.openDirectoryAt(folder, name);
    } catch (const Error& error) {
        if (error.domain() != kPosixErrorDomain ||
            (error.code() != ENOENT && error.code() != ENOTDIR)) {
            throw;
        }
        // Nothing there, or something that is not a folder; a link that leads nowhere
        // counts as nothing at the path.
        std::optional<struct stat> item = files.statAt(folder, name, /*follow=*/false);
        if (!item || (S_ISLNK(item->st_mode) && !files.statAt(folder, name, /*follow=*/true))) {
            return std::nullopt;
        }
        notADirectory();
    }
    struct stat st {};
    if (::fstat(held.get(), &st) != 0) {
        throw posixError(errno, "无法读取属性", pathOfDescriptor(folder) / name);
    }
    return DestinationItem{identityOf(st), std::move(held)};
}

void checkExistingBundle(FileSystem& files, const DestinationItem& item) {
    std::string data = files.readFileAt(item.folder.get(), kInfoPlist, PropertyList::kMaxSize);
    PropertyList plist =
        PropertyList::parse(data, (pathOfDescriptor(item.folder.get()) / kInfoPlist).string());
    if (plist.stringForKey("CFBundleIdentifier") != payloadBundleIdentifier) {
        throw installerError("同名位置不是Tessuro，未替换原文件");
    }
}

std::optional<std::string> destinationIdentity(const std::filesystem::path& at) {
    std::optional<DestinationItem> item =
        inspectDestination(systemFileSystem(), AT_FDCWD, at.string());
    return item ? std::optional(identityText(item->identity)) : std::nullopt;
}

void checkExistingBundle(const std::filesystem::path& at) {
    FileSystem& files = systemFileSystem();
    checkExistingBundle(files, DestinationItem{{}, files.openDirectoryAt(AT_FDCWD, at.string())});
}

}  // namespace tessuro
