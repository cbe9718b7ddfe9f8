#include "install/destination_inspection.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "install/product.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/property_list.h"

namespace tessuro {
namespace {

[[noreturn]] void notADirectory() {
    throw installerError("同名位置不是应用目录，未替换原文件");
}

}  // namespace

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
    std::string data = files.readFileAt(item.folder.get(), bundle_layout::kInfoPlist,
                                        PropertyList::kInfoPlistLimits.maxSize);
    PropertyList plist =
        PropertyList::parse(data, bundleInfoPlistPath(pathOfDescriptor(item.folder.get())).string(),
                            PropertyList::kInfoPlistLimits);
    if (plist.stringForKey("CFBundleIdentifier") != payloadBundleIdentifier) {
        throw installerError("同名位置不是Tessuro，未替换原文件");
    }
}

}  // namespace tessuro
