#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tessuro::test {

// Everything below a folder, by relative path: "dir", "file:<content>", "link:<target>".
// Links are read, never followed. Empty for a path where nothing stands.
std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& root);

// The status of the item at the path itself (a link is not followed); throws when there is
// none.
struct stat statOf(const std::filesystem::path& path);

// The names in a folder that begin with ".Tessuro-".
std::vector<std::string> hiddenItems(const std::filesystem::path& folder);

}  // namespace tessuro::test
