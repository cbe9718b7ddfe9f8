#pragma once

#include <filesystem>
#include <string>

#include "platform/file_system.h"
#include "platform/files.h"

namespace tessuro {

// How deep a tree the copy and the removal descend; deeper trees fail instead of
// exhausting descriptors or the stack.
inline constexpr int kMaxTreeDepth = 256;

// Copies the tree below the folder `source` (a descriptor; `sourcePath` names it in
// messages) to `name` inside the folder `destinationFolder` and returns the folder it
// made, held; see FileSystem::copyTree.
CopiedTree copyTree(int source, const std::filesystem::path& sourcePath, int destinationFolder,
                    const std::string& name, const CopiedFile& copied = {});

// Removes `name` inside `folder` with everything below it, never following a link; nothing
// there is no failure. It never enters another file system: a mount point in the tree (a
// file system of its own, a folder or file bound there) keeps all it holds and fails the
// removal, which names it.
void removeTree(int folder, const std::string& name);

// The same, only when `name` is the folder `expected`; see FileSystem::removeTree.
bool removeTreeIf(int folder, const std::string& name, const FileIdentity& expected);

}  // namespace tessuro
