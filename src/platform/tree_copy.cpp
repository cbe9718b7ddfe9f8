// Copying and removing trees relative to folder descriptors. Links are never followed:
// every open below the top uses O_NOFOLLOW, so a link swapped in while the copy runs
// fails the copy instead of leading it outside the tree.

#include "platform/tree_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace tessuro {
namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;

std::filesystem::path at(int folder, const std::string& name) {
    return pathOfDescriptor(folder) / name;
}

[[noreturn]] void fail(int errnum, std::string_view action, const std::filesystem::path& item) {
    throw posixError(errnum, action, item);
}

// The seal covers contents and links, not modes or attributes, so nothing that could
// lend a privilege is carried over: no set-user-ID, set-group-ID or sticky bit, no write
// permission for group or others; of the extended attributes only the user namespace
// (not ACLs in system.*, capabilities in security.*, or trusted.*).
constexpr mode_t kCopiedModeBits = 0755;
constexpr const char* kCopiedAttributes = "user.";

// A new item inherits an access ACL from a default ACL on the folder it is made in; the
// copy's top folder drops both, so that nothing below it inherits one either.
void dropInheritedAcls(int fd, const std::filesystem::path& shown) {
    for (const char* name : {"system.posix_acl_default", "system.posix_acl_access"}) {
        if (::fremovexattr(fd, name) != 0 && errno != ENODATA && errno != ENOTSUP) {
            fail(errno, "无法写入扩展属性", shown);
        }
    }
}

void copyExtendedAttributes(int from, int to, const std::filesystem::path& shown) {
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size < 0) {
        if (errno == ENOTSUP) {
            return;
        }
        fail(errno, "无法读取扩展属性", shown);
    }
    std::vector<char> names(static_cast<std::size_t>(size));
    size = ::flistxattr(from, names.data(), names.size());
    if (size < 0) {
        fail(errno, "无法读取扩展属性", shown);
    }
    std::vector<char> value;
    for (ssize_t offset = 0; offset < size;) {
        const char* name = names.data() + offset;
        offset += static_cast<ssize_t>(std::strlen(name)) + 1;
        if (std::strncmp(name, kCopiedAttributes, std::strlen(kCopiedAttributes)) != 0) {
            continue;
        }
        ssize_t length = ::fgetxattr(from, name, nullptr, 0);
        if (length < 0) {
            fail(errno, "无法读取扩展属性", shown);
        }
        value.resize(static_cast<std::size_t>(length));
        length = ::fgetxattr(from, name, value.data(), value.size());
        if (length < 0) {
            fail(errno, "无法读取扩展属性", shown);
        }
        if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(length), 0) != 0) {
            // A file system without extended attributes: the copy goes on without them.
            if (errno != ENOTSUP && errno != EPERM) {
                fail(errno, "无法写入扩展属性", shown);
            }
        }
    }
}

void keepModeAndTimes(int fd, const struct stat& source, const std::filesystem::path& shown) {
    if (::fchmod(fd, source.st_mode & kCopiedModeBits) != 0) {
        fail(errno, "无法设置权限", shown);
    }
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    if (::futimens(fd, times) != 0) {
        fail(errno, "无法设置修改时间", shown);
    }
}

void copyBytes(int from, int to, off_t size, const std::filesystem::path& shown) {
    if (::ioctl(to, FICLONE, from) == 0) {
        return;  // a reflink shares the blocks
    }
    off_t copied = 0;
    while (copied < size) {
        ssize_t n = ::copy_file_range(from, nullptr, to, nullptr,
                                      static_cast<std::size_t>(size - copied), 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (copied == 0 &&
                (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                break;  // not offered here: copy through a buffer
            }
            fail(errno, "无法复制", shown);
        }
        if (n == 0) {
            break;  // the file shrank while being copied
        }
        copied += n;
    }
    if (copied > 0) {
        return;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(errno, "无法读取", shown);
        }
        if (n == 0) {
            return;
        }
        for (ssize_t written = 0; written < n;) {
            ssize_t w = ::write(to, buffer.data() + written, static_cast<std::size_t>(n - written));
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail(errno, "无法写入", shown);
            }
            written += w;
        }
    }
}

void copyFile(int fromFolder, const std::string& name, int toFolder,
              const std::filesystem::path& shown) {
    UniqueFd from(::openat(fromFolder, name.c_str(), O_RDONLY | O_NONBLOCK | kOpenFlags));
    if (!from) {
        fail(errno, "无法读取", shown);
    }
    struct stat st {};
    if (::fstat(from.get(), &st) != 0) {
        fail(errno, "无法读取", shown);
    }
    if (!S_ISREG(st.st_mode)) {
        fail(EINVAL, "无法复制", shown);
    }
    UniqueFd to(::openat(toFolder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, 0600));
    if (!to) {
        fail(errno, "无法创建", at(toFolder, name));
    }
    copyBytes(from.get(), to.get(), st.st_size, shown);
    copyExtendedAttributes(from.get(), to.get(), shown);
    keepModeAndTimes(to.get(), st, at(toFolder, name));
}

void copySymlink(int fromFolder, const std::string& name, int toFolder, const struct stat& st,
                 const std::filesystem::path& shown) {
    std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    for (;;) {
        ssize_t n = ::readlinkat(fromFolder, name.c_str(), target.data(), target.size());
        if (n < 0) {
            fail(errno, "无法读取符号链接", shown);
        }
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            break;
        }
        target.resize(target.size() * 2);
    }
    std::string text(target.begin(), target.end());
    if (::symlinkat(text.c_str(), toFolder, name.c_str()) != 0) {
        fail(errno, "无法创建符号链接", at(toFolder, name));
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(toFolder, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        fail(errno, "无法设置修改时间", at(toFolder, name));
    }
}

void copyFolder(int from, int toParent, const std::string& name, const std::filesystem::path& shown,
                int depth) {
    if (depth > kMaxTreeDepth) {
        fail(ELOOP, "无法复制", shown);
    }
    struct stat st {};
    if (::fstat(from, &st) != 0) {
        fail(errno, "无法读取", shown);
    }
    // Private until its content is complete; its own mode is set last.
    if (::mkdirat(toParent, name.c_str(), 0700) != 0) {
        if (depth == 0) {
            // The top of the copy: what the user can act on is the folder it goes into.
            fail(errno, "无法写入文件夹", pathOfDescriptor(toParent));
        }
        fail(errno, "无法创建文件夹", at(toParent, name));
    }
    UniqueFd to(::openat(toParent, name.c_str(), O_RDONLY | O_DIRECTORY | kOpenFlags));
    if (!to) {
        fail(errno, "无法打开文件夹", at(toParent, name));
    }
    if (depth == 0) {
        dropInheritedAcls(to.get(), at(toParent, name));
    }
    for (const std::string& entry : folderEntries(from, shown)) {
        std::filesystem::path entryShown = shown / entry;
        struct stat child {};
        if (::fstatat(from, entry.c_str(), &child, AT_SYMLINK_NOFOLLOW) != 0) {
            fail(errno, "无法读取", entryShown);
        }
        if (S_ISDIR(child.st_mode)) {
            UniqueFd sub(::openat(from, entry.c_str(), O_RDONLY | O_DIRECTORY | kOpenFlags));
            if (!sub) {
                fail(errno, "无法打开文件夹", entryShown);
            }
            copyFolder(sub.get(), to.get(), entry, entryShown, depth + 1);
        } else if (S_ISREG(child.st_mode)) {
            copyFile(from, entry, to.get(), entryShown);
        } else if (S_ISLNK(child.st_mode)) {
            copySymlink(from, entry, to.get(), child, entryShown);
        } else {
            throw installerError("无法复制“" + entryShown.string() +
                                 "”：安装包中含有不支持的特殊文件（管道、套接字或设备文件）");
        }
    }
    copyExtendedAttributes(from, to.get(), shown);
    keepModeAndTimes(to.get(), st, at(toParent, name));
}

void removeContents(int folder, const std::filesystem::path& shown, int depth) {
    if (depth > kMaxTreeDepth) {
        fail(ELOOP, "无法删除", shown);
    }
    bool madeWritable = false;
    for (const std::string& entry : folderEntries(folder, shown)) {
        struct stat st {};
        if (::fstatat(folder, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            fail(errno, "无法删除", shown / entry);
        }
        if (S_ISDIR(st.st_mode)) {
            UniqueFd sub(::openat(folder, entry.c_str(), O_RDONLY | O_DIRECTORY | kOpenFlags));
            if (!sub && (errno == EACCES || errno == EPERM)) {
                // A folder without read or search permission: give it those, then empty it.
                if (::fchmodat(folder, entry.c_str(), (st.st_mode & 07777) | S_IRWXU, 0) == 0) {
                    sub.reset(::openat(folder, entry.c_str(), O_RDONLY | O_DIRECTORY | kOpenFlags));
                }
            }
            if (!sub) {
                fail(errno, "无法删除", shown / entry);
            }
            removeContents(sub.get(), shown / entry, depth + 1);
        }
        int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
        if (::unlinkat(folder, entry.c_str(), flags) != 0) {
            if ((errno == EACCES || errno == EPERM) && !madeWritable) {
                madeWritable = true;  // a read-only folder of the tree: make it writable once
                struct stat self {};
                if (::fstat(folder, &self) == 0 &&
                    ::fchmod(folder, (self.st_mode & 07777) | S_IRWXU) == 0 &&
                    ::unlinkat(folder, entry.c_str(), flags) == 0) {
                    continue;
                }
            }
            if (errno != ENOENT) {
                fail(errno, "无法删除", shown / entry);
            }
        }
    }
}

}  // namespace

void copyTree(const std::filesystem::path& source, int destinationFolder, const std::string& name) {
    UniqueFd from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!from) {
        fail(errno, "无法读取", source);
    }
    try {
        copyFolder(from.get(), destinationFolder, name, source, 0);
    } catch (const Error& error) {
        // A full, over-quota or read-only disk is the destination folder's, whichever file
        // the copy had reached: name the folder the user can act on.
        int code = static_cast<int>(error.code());
        if (error.domain() == kPosixErrorDomain &&
            (code == ENOSPC || code == EDQUOT || code == EROFS)) {
            fail(code, "无法写入文件夹", pathOfDescriptor(destinationFolder));
        }
        throw;
    }
}

void removeTree(int folder, const std::string& name) {
    std::filesystem::path shown = at(folder, name);
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return;
        }
        fail(errno, "无法删除", shown);
    }
    if (S_ISDIR(st.st_mode)) {
        UniqueFd sub(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | kOpenFlags));
        if (!sub) {
            fail(errno, "无法删除", shown);
        }
        removeContents(sub.get(), shown, 0);
    }
    if (::unlinkat(folder, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 &&
        errno != ENOENT) {
        fail(errno, "无法删除", shown);
    }
}

}  // namespace tessuro
