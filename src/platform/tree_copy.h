#pragma once

#include <filesystem>
#include <string>

namespace tessuro {

// How deep a tree the copy and the removal descend; deeper trees fail instead of
// exhausting descriptors or the stack.
inline constexpr int kMaxTreeDepth = 256;

// Copies the tree at `source` to `name` inside the folder `destinationFolder` (a
// descriptor); see FileSystem::copyTree.
void copyTree(const std::filesystem::path& source, int destinationFolder, const std::string& name);

// Removes `name` inside `folder` with everything below it; see FileSystem::removeTree.
void removeTree(int folder, const std::string& name);

}  // namespace tessuro
