#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace tessuro {

// What stands at the destination: nothing (also a link that leads nowhere), or a folder
// with its identity "st_dev|st_ino". Anything else fails with "同名位置不是应用目录，未替换原文件";
// unreadable attributes fail with the system's error.
std::optional<std::string> destinationIdentity(const std::filesystem::path& at);

// Passes only when the bundle's Contents/Info.plist is a dictionary whose
// CFBundleIdentifier is exactly the payload's identifier; fails with
// "同名位置不是Tessuro，未替换原文件", or with the reading or parsing error.
void checkExistingBundle(const std::filesystem::path& at);

// The identity text of an item: "st_dev|st_ino".
std::string identityText(const FileIdentity& identity);

// A folder found at the destination, held open: its identity is the identity of the
// folder the descriptor holds, and whatever is read through the descriptor belongs to
// that same folder, even if another item takes its name meanwhile.
struct DestinationItem {
    FileIdentity identity;
    UniqueFd folder;
};

// destinationIdentity for `name` inside an open folder, through the given file operations,
// keeping the folder it found open.
std::optional<DestinationItem> inspectDestination(FileSystem& files, int folder,
                                                  const std::string& name);

// checkExistingBundle for a folder held open, its Info.plist read through the descriptor.
void checkExistingBundle(FileSystem& files, const DestinationItem& item);

}  // namespace tessuro
