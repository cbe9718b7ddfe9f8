#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

namespace tessuro::codesign {

// A file or symbolic link below a bundle's Contents folder.
struct ResourceItem {
    bool symlink = false;
    std::string target;       // of a link
    struct stat status = {};  // of a file, as the walk found it
};

// Every item by its path relative to Contents/.
using ResourceTree = std::map<std::string, ResourceItem>;

// What lies below a bundle's Contents folder, as a seal sees it.
struct ResourceWalk {
    // Every file and link a seal may cover. Special files are listed as files; reading
    // them fails later.
    ResourceTree items;
    // The regular files with an execute bit where no seal ever looks: the signature's
    // folder, the store receipt, the legacy CodeResources (a file or a whole folder).
    std::vector<std::string> outsideExecutables;
};

// Walks below `contentsFd`, never following a link; `excluded` (the main executable,
// sealed by the CodeDirectory itself) is left out of both lists. Throws a POSIX Error
// naming the item that cannot be read, and a code-signing Error (kMalformed) for a tree
// deeper than kMaxTreeDepth.
ResourceWalk walkResources(int contentsFd, const std::vector<std::string>& excluded);

}  // namespace tessuro::codesign
