#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace tessuro {

// What stands at the destination: nothing (also a link that leads nowhere), or a folder
// with its identity "st_dev|st_ino". Anything else fails with "同名位置不是应用目录，未替换原文件";
// unreadable attributes fail with the system's error.
std::optional<std::string> destinationIdentity(const std::filesystem::path& at);

// The same for `name` inside an open folder, through the given file operations.
std::optional<std::string> destinationIdentity(FileSystem& files, int folder,
                                               const std::string& name);

// Passes only when the bundle's Contents/Info.plist is a dictionary whose
// CFBundleIdentifier is exactly the payload's identifier; fails with
// "同名位置不是Tessuro，未替换原文件", or with the reading or parsing error.
void checkExistingBundle(const std::filesystem::path& at);
void checkExistingBundle(FileSystem& files, const std::filesystem::path& at);

}  // namespace tessuro
