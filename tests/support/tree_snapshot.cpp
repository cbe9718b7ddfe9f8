#include "tree_snapshot.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tessuro::test {

namespace fs = std::filesystem;

std::map<std::string, std::string> treeSnapshot(const fs::path& root) {
    std::map<std::string, std::string> tree;
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(root, error))) {
        return tree;
    }
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string& item = tree[entry.path().lexically_relative(root).string()];
        if (entry.is_symlink()) {
            item = "link:" + fs::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            item = "dir";
        } else {
            std::ostringstream content;
            content << std::ifstream(entry.path(), std::ios::binary).rdbuf();
            item = "file:" + content.str();
        }
    }
    return tree;
}

struct stat statOf(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throw std::runtime_error("no item at " + path.string());
    }
    return st;
}

std::vector<std::string> hiddenItems(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (std::string name = entry.path().filename().string(); name.starts_with(".Tessuro-")) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tessuro::test
