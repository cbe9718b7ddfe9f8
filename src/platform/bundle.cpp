#include "platform/bundle.h"

#include <system_error>

#include "platform/error.h"
#include "platform/property_list.h"

namespace tessuro {

std::filesystem::path bundlePathForExecutable(const std::filesystem::path& executable) {
    std::filesystem::path folder = executable.parent_path();
    std::filesystem::path contents = folder.parent_path();
    std::filesystem::path bundle = contents.parent_path();
    if (folder.filename() == "MacOS" && contents.filename() == "Contents" && !bundle.empty() &&
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

std::filesystem::path infoPlistPath(const std::filesystem::path& bundle) {
    return bundle / "Contents" / "Info.plist";
}

std::optional<std::string> bundleInfoString(const std::filesystem::path& bundle,
                                            std::string_view key) noexcept {
    try {
        return PropertyList::readFile(infoPlistPath(bundle)).stringForKey(key);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace tessuro
