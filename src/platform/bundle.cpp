#include "platform/bundle.h"

#include <fcntl.h>

#include <cerrno>
#include <system_error>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace tessuro {

std::filesystem::path bundleInfoPlistPath(const std::filesystem::path& bundle) {
    return bundle / bundle_layout::kInfoPlist;
}

std::filesystem::path bundlePathForExecutable(const std::filesystem::path& executable) {
    std::filesystem::path folder = executable.parent_path();
    std::filesystem::path contents = folder.parent_path();
    std::filesystem::path bundle = contents.parent_path();
    if (folder.filename() == bundle_layout::kExecutableFolderName &&
        contents.filename() == bundle_layout::kContents && !bundle.empty() &&
        bundle != bundle.root_path()) {
        return bundle;
    }
    return folder;
}

std::filesystem::path mainBundlePath() {
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        throw posixError(error.value(), "无法确定安装程序的位置", "/proc/self/exe");
    }
    return bundlePathForExecutable(executable);
}

PropertyList readBundleInfo(const std::filesystem::path& bundle) {
    UniqueFd folder(::open(bundle.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        throw posixError(errno, "无法读取", bundleInfoPlistPath(bundle));
    }
    return PropertyList::parse(readFileContentsAt(folder.get(), bundle_layout::kInfoPlist,
                                                  PropertyList::kInfoPlistLimits.maxSize),
                               bundleInfoPlistPath(bundle).string(),
                               PropertyList::kInfoPlistLimits);
}

std::optional<std::string> bundleInfoString(const std::filesystem::path& bundle,
                                            std::string_view key) noexcept {
    try {
        return readBundleInfo(bundle).stringForKey(key);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace tessuro
