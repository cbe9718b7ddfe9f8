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

// Every file and link below `contentsFd`, never following a link, without the paths no
// seal covers: the signature, its legacy link, the store receipt, and `excluded` (the main
// executable). Special files are listed as files; reading them fails later. Throws a POSIX
// Error naming the item that cannot be read, and a code-signing Error (kMalformed) for a
// tree deeper than kMaxTreeDepth.
ResourceTree walkResources(int contentsFd, const std::vector<std::string>& excluded);

}  // namespace tessuro::codesign
