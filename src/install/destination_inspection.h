#pragma once

#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace tessuro {

// A folder found at the destination, held open: its identity is the identity of the
// folder the descriptor holds, and whatever is read through the descriptor belongs to
// that same folder, even if another item takes its name meanwhile.
struct DestinationItem {
    FileIdentity identity;
    UniqueFd folder;
};

// What stands at `name` inside an open folder, through the given file operations: nothing
// (also a link that leads nowhere), or a folder, held open. Anything else fails with
// "同名位置不是应用目录，未替换原文件"; unreadable attributes fail with the system's error.
std::optional<DestinationItem> inspectDestination(FileSystem& files, int folder,
                                                  const std::string& name);

// Passes only when the folder's Contents/Info.plist, read through its descriptor, is a
// dictionary whose CFBundleIdentifier is exactly the payload's identifier; fails with
// "同名位置不是Tessuro，未替换原文件", or with the reading or parsing error.
void checkExistingBundle(FileSystem& files, const DestinationItem& item);

}  // namespace tessuro
