#include "codesign/resource_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "codesign/signature_layout.h"
#include "codesign/status.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/tree_copy.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {
namespace {

// Paths no seal ever covers (at the top of Contents).
bool outsideEverySeal(const std::string& path) {
    return path == layout::kSignatureFolder || path == layout::kStoreReceipt ||
           path == layout::kLegacyResourcesLink;
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

    // `outside`: the folder lies where no seal looks; only its executables are noted.
    void folder(int fd, const std::string& prefix, int depth, bool outside) {
        if (depth > kMaxTreeDepth) {
            throw codesignError(codesign_code::kMalformed,
                                "folders below " + std::string(layout::kContents) +
                                    " nest deeper than " + std::to_string(kMaxTreeDepth) +
                                    " levels");
        }
        for (const std::string& name : folderEntries(fd, shown(prefix))) {
            const std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (std::find(excluded_.begin(), excluded_.end(), path) == excluded_.end()) {
                item(fd, name, path, depth, outside || (depth == 0 && outsideEverySeal(path)));
            }
        }
    }

    ResourceWalk take() { return std::move(walk_); }

private:
    void item(int fd, const std::string& name, const std::string& path, int depth, bool outside) {
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
            folder(sub.get(), path, depth + 1, outside);
        } else if (outside) {
            if (S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0) {
                walk_.outsideExecutables.push_back(path);
            }
        } else if (S_ISLNK(st.st_mode)) {
            walk_.items[path] = ResourceItem{true, linkTarget(fd, name, st, path)};
        } else {
            walk_.items[path] = ResourceItem{false, {}, st};
        }
    }

    const std::vector<std::string>& excluded_;
    ResourceWalk walk_;
};

}  // namespace

ResourceWalk walkResources(int contentsFd, const std::vector<std::string>& excluded) {
    Walk walk(excluded);
    walk.folder(contentsFd, "", 0, false);
    return walk.take();
}

}  // namespace tessuro::codesign
