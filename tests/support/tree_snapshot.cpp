#include "tree_snapshot.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "install/product.h"
#include "temp_dir.h"

namespace tessuro::test {

std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& root) {
    std::map<std::string, std::string> tree;
    std::error_code error;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(root, error))) {
        return tree;
    }
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        std::string relative = it->path().lexically_relative(root).string();
        if (it->is_symlink()) {
            tree[relative] = "link:" + std::filesystem::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            tree[relative] = "dir";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            tree[relative] = "file:" + content.str();
        }
    }
    return tree;
}

std::vector<std::string> hiddenItems(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(".Tessuro-", 0) == 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

void makeTessuroBundle(const std::filesystem::path& bundle, const std::string& version) {
    writeInfoPlist(bundle, {{"CFBundleIdentifier", std::string(payloadBundleIdentifier)},
                            {"CFBundleVersion", version},
                            {"CFBundleExecutable", "Tessuro"}});
    std::filesystem::path executable = bundle / "Contents/MacOS/Tessuro";
    writeFile(executable, "#!/bin/sh\necho Tessuro " + version + "\n");
    std::filesystem::permissions(
        executable, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                        std::filesystem::perms::others_exec);
    writeFile(bundle / "Contents/Resources/data.txt", std::string(64, version[0]));
    writeFile(bundle / "Contents/Resources/en.lproj/strings.txt", "version " + version);
    std::filesystem::create_symlink("Resources/data.txt", bundle / "Contents/data-link");
}

}  // namespace tessuro::test
