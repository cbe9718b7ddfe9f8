#include "platform/file_system.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/tree_copy.h"

namespace tessuro {
namespace {

// Every error counts: after a failed write-back (EIO), or a file system that went
// read-only under the writes (EROFS, as ext4 does when it aborts its journal), what was
// written may never reach the disk.
void syncDescriptor(int fd, const std::filesystem::path& shown) {
    if (::fsync(fd) != 0) {
        throw posixError(errno, "无法写入磁盘", shown);
    }
}

class PosixFileSystem final : public FileSystem {
public:
    void createDirectories(const std::filesystem::path& folder) override {
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                throw posixError(ENOTDIR, "无法创建文件夹", folder);
            }
            return;
        }
        std::filesystem::path parent = folder.parent_path();
        if (!parent.empty() && parent != folder) {
            createDirectories(parent);
        }
        if (::mkdir(folder.c_str(), 0755) != 0) {
            if (errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                return;
            }
            throw posixError(errno, "无法创建文件夹", folder);
        }
        // The new entry in its parent must survive a power cut like everything after it.
        UniqueFd parentFd(
            ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (parentFd) {
            syncDescriptor(parentFd.get(), parent);
        }
    }

    UniqueFd openDirectory(const std::filesystem::path& folder) override {
        // The folder itself is never a link: whatever it points at is not where the user
        // asked to install (the folders above it may be links, as /home often is).
        UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            int error = errno;
            if (error == ELOOP || error == ENOTDIR) {
                struct stat st {};
                if (::lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                    throw linkNotFollowedError("无法安装到", folder);
                }
            }
            throw posixError(error, "无法打开文件夹", folder);
        }
        return fd;
    }

    UniqueFd openTree(const std::filesystem::path& top) override {
        UniqueFd fd(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd) {
            throw posixError(errno, "无法读取", top);
        }
        return fd;
    }

    UniqueFd openDirectoryAt(int folder, const std::string& name) override {
        UniqueFd fd(::openat(folder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            throw posixError(errno, "无法打开文件夹", pathOfDescriptor(folder) / name);
        }
        return fd;
    }

    std::optional<struct stat> statAt(int folder, const std::string& name, bool follow) override {
        struct stat st {};
        if (::fstatat(folder, name.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0) {
            return st;
        }
        if (errno == ENOENT || errno == ENOTDIR || (follow && errno == ELOOP)) {
            return std::nullopt;
        }
        throw posixError(errno, "无法读取属性", pathOfDescriptor(folder) / name);
    }

    std::string readFileAt(int folder, const std::filesystem::path& relative,
                           std::size_t maxBytes) override {
        return readFileContentsAt(folder, relative, maxBytes);
    }

    CopiedTree copyTree(int source, const std::filesystem::path& sourcePath, int folder,
                        const std::string& name, const CopiedFile& copied) override {
        return tessuro::copyTree(source, sourcePath, folder, name, copied);
    }

    void dropExecuteBits(int folder, const std::vector<std::filesystem::path>& relative) override {
        for (const std::filesystem::path& item : relative) {
            struct stat st {};
            UniqueFd file = openRegularFileAt(folder, item, &st);
            const std::filesystem::path shown = pathOfDescriptor(folder) / item;
            if (::fchmod(file.get(), st.st_mode & 07666) != 0) {
                throw posixError(errno, "无法设置权限", shown);
            }
            syncDescriptor(file.get(), shown);
        }
    }

    void syncFileSystem(int folder) override {
        // One sync of the file system costs far less than one per file of a large bundle.
        // Its failure is the disk's: the message names the folder the user knows.
        if (::syncfs(folder) != 0) {
            throw posixError(errno, "无法写入磁盘", pathOfDescriptor(folder));
        }
    }

    void syncDirectory(int folder) override { syncDescriptor(folder, pathOfDescriptor(folder)); }

    void renameAt(int folder, const std::string& from, const std::string& to,
                  RenameMode mode) override {
        unsigned flags = mode == RenameMode::Exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
        if (::renameat2(folder, from.c_str(), folder, to.c_str(), flags) == 0) {
            return;
        }
        int error = errno;
        if (mode == RenameMode::NoReplace && (error == EINVAL || error == ENOSYS)) {
            // A file system without RENAME_NOREPLACE: check, then rename. The short window
            // between the two is the best such a file system allows.
            struct stat st {};
            if (::fstatat(folder, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                error = EEXIST;
            } else if (::renameat(folder, from.c_str(), folder, to.c_str()) == 0) {
                return;
            } else {
                error = errno;
            }
        }
        std::filesystem::path base = pathOfDescriptor(folder);
        throw posixError(error, "无法移动“" + (base / from).string() + "”到", base / to);
    }

    bool removeTree(int folder, const std::string& name, const FileIdentity& expected) override {
        return removeTreeIf(folder, name, expected);
    }
};

}  // namespace

FileSystem& systemFileSystem() {
    static PosixFileSystem fileSystem;
    return fileSystem;
}

}  // namespace tessuro
