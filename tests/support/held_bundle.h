#pragma once

#include <fcntl.h>

#include <memory>

#include "platform/bundle.h"
#include "platform/files.h"

namespace tessuro::test {

// A bundle held as the installer holds one it has checked, taking its executable as it
// stands now for the one the check vouched for.
inline HeldBundle heldAsItStands(const std::filesystem::path& bundle) {
    auto folder = std::make_shared<const UniqueFd>(
        ::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    HeldBundle held{bundle, folder, {}};
    if (!folder->valid()) {
        return held;
    }
    const std::string name = bundleInfoString(bundle, "CFBundleExecutable").value_or("");
    if (name.empty()) {
        return held;
    }
    held.verified.executable = std::filesystem::path(bundle_layout::kExecutables) / name;
    struct stat st {};
    if (::fstatat(folder->get(), held.verified.executable.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        held.verified.executableIdentity = identityOf(st);
    }
    return held;
}

}  // namespace tessuro::test
