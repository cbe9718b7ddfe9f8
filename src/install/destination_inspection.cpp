#include "install/destination_inspection.h"

#include <fcntl.h>

#include "install/product.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/property_list.h"

namespace tessuro {

std::optional<std::string> destinationIdentity(FileSystem& files, int folder,
                                               const std::string& name) {
    std::optional<struct stat> item = files.statAt(folder, name, /*follow=*/false);
    if (!item) {
        return std::nullopt;
    }
    if (S_ISLNK(item->st_mode) && !files.statAt(folder, name, /*follow=*/true)) {
        return std::nullopt;  // a link that leads nowhere is nothing at the path
    }
    if (!S_ISDIR(item->st_mode)) {
        throw installerError("同名位置不是应用目录，未替换原文件");
    }
    return std::to_string(item->st_dev) + "|" + std::to_string(item->st_ino);
}

std::optional<std::string> destinationIdentity(const std::filesystem::path& at) {
    return destinationIdentity(systemFileSystem(), AT_FDCWD, at.string());
}

void checkExistingBundle(FileSystem& files, const std::filesystem::path& at) {
    std::filesystem::path infoPlist = infoPlistPath(at);
    PropertyList plist =
        PropertyList::parse(files.readFile(infoPlist, PropertyList::kMaxSize), infoPlist.string());
    if (plist.stringForKey("CFBundleIdentifier") != payloadBundleIdentifier) {
        throw installerError("同名位置不是Tessuro，未替换原文件");
    }
}

void checkExistingBundle(const std::filesystem::path& at) {
    checkExistingBundle(systemFileSystem(), at);
}

}  // namespace tessuro
