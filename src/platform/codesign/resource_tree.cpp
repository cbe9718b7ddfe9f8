#include "platform/codesign/resource_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/codesign/signature_layout.h"
#include "platform/codesign/status.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/tree_copy.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {
namespace {

// Paths no seal ever covers.
bool alwaysExcluded(const std::string& path, const std::vector<std::string>& excluded) {
    auto under = [&](const char* folder) {
        std::size_t n = std::strlen(folder);
        return path.compare(0, n, folder) == 0 && (path.size() == n || path[n] == '/');
    };
    return under(layout::kSignatureFolder) || under(layout::kStoreReceipt) ||
           path == layout::kLegacyResourcesLink ||
           std::find(excluded.begin(), excluded.end(), path) != excluded.end();
}

std::string shown(const std::string& path) {
    return std::string(layout::kContents) + "/" + path;
}

std::string linkTarget(int folder, const std::string& name, const struct stat& st,
                       const std::string& path) {
    // A target fits in PATH_MAX whatever size the link reports.
    std::vector<char> target(std::min(static_cast<std::size_t>(st.st_size), std::size_t{PATH_MAX}) +
                             2);
    ssize_t n = ::readlinkat(folder, name.c_str(), target.data(), target.size());
    if (n < 0) {
        throw posixError(errno, "无法读取", shown(path));
    }
    if (static_cast<std::size_t>(n) >= target.size()) {
        throw posixError(ENAMETOOLONG, "无法读取", shown(path));
    }
    return std::string(target.data(), static_cast<std::size_t>(n));
}

class Walk {
public:
    explicit Walk(const std::vector<std::string>& excluded) : excluded_(excluded) {}

    void folder(int fd, const std::string& prefix, int depth) {
        if (depth > kMaxTreeDepth) {
            throw codesignError(codesign_code::kMalformed,
                                "folders below " + std::string(layout::kContents) +
                                    " nest deeper than " + std::to_string(kMaxTreeDepth) +
                                    " levels");
        }
        for (const std::string& name : folderEntries(fd, shown(prefix))) {
            const std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (!alwaysExcluded(path, excluded_)) {
                item(fd, name, path, depth);
            }
        }
    }

    ResourceTree take() { return std::move(items_); }

private:
    void item(int fd, const std::string& name, const std::string& path, int depth) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            throw posixError(errno, "无法读取属性", shown(path));
        }
        if (S_ISDIR(st.st_mode)) {
            UniqueFd sub(
                ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) {
                throw posixError(errno, "无法打开文件夹", shown(path));
            }
            folder(sub.get(), path, depth + 1);
        } else if (S_ISLNK(st.st_mode)) {
            items_[path] = ResourceItem{true, linkTarget(fd, name, st, path)};
        } else {
            items_[path] = ResourceItem{false, {}, st};
        }
    }

    const std::vector<std::string>& excluded_;
    ResourceTree items_;
};

}  // namespace

ResourceTree walkResources(int contentsFd, const std::vector<std::string>& excluded) {
    Walk walk(excluded);
    walk.folder(contentsFd, "", 0);
    return walk.take();
}

}  // namespace tessuro::codesign
