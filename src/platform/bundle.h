#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessuro {

// The bundle that an executable belongs to: "<bundle>/Contents/MacOS/<name>" gives
// <bundle>; an executable outside that layout stands for its own folder.
std::filesystem::path bundlePathForExecutable(const std::filesystem::path& executable);

// The bundle of the running program, from /proc/self/exe.
std::filesystem::path mainBundlePath();

// "<bundle>/Contents/Info.plist".
std::filesystem::path infoPlistPath(const std::filesystem::path& bundle);

// A string value of the bundle's Info.plist (XML or binary). Nothing when the Info.plist is
// missing or unreadable, the key is missing, or the value is not a string.
std::optional<std::string> bundleInfoString(const std::filesystem::path& bundle,
                                            std::string_view key) noexcept;

}  // namespace tessuro
