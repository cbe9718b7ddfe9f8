#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/property_list.h"
#include "platform/unique_fd.h"

namespace tessuro {

// Where things live inside a bundle, relative to its top. Every path into a bundle is built
// from these.
namespace bundle_layout {
inline constexpr std::string_view kContents = "Contents";
inline constexpr std::string_view kExecutableFolderName = "MacOS";
inline constexpr std::string_view kInfoPlist = "Contents/Info.plist";
inline constexpr std::string_view kExecutables = "Contents/MacOS";
inline constexpr std::string_view kResources = "Contents/Resources";
}  // namespace bundle_layout

// What a signature check vouched for in a bundle, as the check read it.
struct VerifiedBundle {
    // The main executable, below the bundle ("Contents/MacOS/<name>"), and the file the
    // check hashed there; empty when the bundle names none.
    std::filesystem::path executable;
    FileIdentity executableIdentity;
    // Regular files with an execute bit that no seal covers, below the bundle: the
    // signature's own folder, a store receipt, what the seal's rules leave out.
    std::vector<std::filesystem::path> unsealedExecutables;
    // The build number (CFBundleVersion) of the Info.plist the check sealed, when it is a
    // string.
    std::optional<std::string> buildNumber;
};

// A bundle held open by the descriptor of its folder, with what its last check vouched for:
// whatever later stands at its path, what is started from it is what was checked.
struct HeldBundle {
    std::filesystem::path path;  // where it was put, for messages
    std::shared_ptr<const UniqueFd> folder;
    VerifiedBundle verified;
};

// The bundle's Info.plist: "<bundle>/Contents/Info.plist".
std::filesystem::path bundleInfoPlistPath(const std::filesystem::path& bundle);

// The bundle that an executable belongs to: "<bundle>/Contents/MacOS/<name>" gives
// <bundle>; an executable outside that layout stands for its own folder.
std::filesystem::path bundlePathForExecutable(const std::filesystem::path& executable);

// The bundle of the running program, from /proc/self/exe.
std::filesystem::path mainBundlePath();

// The bundle's Contents/Info.plist (XML or binary), read without following a link inside
// the bundle and refused unless it is a regular file (a FIFO or a device there is neither
// waited on nor opened for reading). Fails with a POSIX error when it cannot be read and a
// PropertyList error when it is not a property list.
PropertyList readBundleInfo(const std::filesystem::path& bundle);

// A string value of the bundle's Info.plist, for callers to whom an Info.plist that cannot
// be read says the same as one without the value: nothing when readBundleInfo fails, the
// key is missing, or the value is not a string. Callers that must tell these apart use
// readBundleInfo.
std::optional<std::string> bundleInfoString(const std::filesystem::path& bundle,
                                            std::string_view key) noexcept;

}  // namespace tessuro
