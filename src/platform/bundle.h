#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/property_list.h"

namespace tessuro {

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

// A string value of the bundle's Info.plist. Nothing when the Info.plist cannot be read
// (see readBundleInfo), the key is missing, or the value is not a string.
std::optional<std::string> bundleInfoString(const std::filesystem::path& bundle,
                                            std::string_view key) noexcept;

}  // namespace tessuro
