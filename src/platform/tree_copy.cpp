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

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/desktop_user.h"
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

[[noreturn]] void fail(int errnum, std::string_view action, const std::filesystem::path& item,
                       std::string_view reason) {
    throw posixError(errnum, action, item, reason);
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

// Copies `length` bytes at `offset` of one file to the same offset of the other: in the
// kernel where it can, through a buffer where it cannot.
void copyRange(int from, int to, off_t offset, off_t length, const std::filesystem::path& shown) {
    loff_t in = offset, out = offset;
    const loff_t end = offset + length;
    std::vector<char> buffer;
    while (in < end) {
        if (buffer.empty()) {
            ssize_t n =
                ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(end - in), 0);
            if (n > 0) {
                continue;
            }
            if (n == 0) {
                return;  // the file shrank while being copied; the verification will tell
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
                fail(errno, "无法复制", shown);
            }
            buffer.resize(1 << 20);  // not offered here: through a buffer from now on
        }
        ssize_t n = ::pread(from, buffer.data(), std::min<loff_t>(buffer.size(), end - in), in);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                return;
            }
            fail(errno, "无法读取", shown);
        }
        for (ssize_t written = 0; written < n;) {
            ssize_t w = ::pwrite(to, buffer.data() + written, static_cast<std::size_t>(n - written),
                                 out + written);
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w < 0) {
                fail(errno, "无法写入", shown);
            }
            written += w;
        }
        in += n;
        out += n;
    }
}

// Copies a file's bytes. A reflink shares the blocks where the file system has one;
// otherwise only the data is copied, so that a hole stays a hole where the file system
// keeps them, and the size is set last.
void copyBytes(int from, int to, off_t size, const std::filesystem::path& shown) {
    if (::ioctl(to, FICLONE, from) == 0) {
        return;
    }
    for (off_t offset = 0; offset < size;) {
        off_t data = ::lseek(from, offset, SEEK_DATA);
        if (data < 0 && errno == ENXIO) {
            break;  // nothing but a hole up to the end
        }
        if (data < 0) {
            data = offset;  // no word on holes: all of it is data
        }
        if (data >= size) {
            break;
        }
        off_t hole = ::lseek(from, data, SEEK_HOLE);
        if (hole < 0 || hole > size) {
            hole = size;
        }
        copyRange(from, to, data, hole - data, shown);
        offset = hole;
    }
    struct stat written {};
    if (::fstat(to, &written) != 0 || (written.st_size < size && ::ftruncate(to, size) != 0)) {
        fail(errno, "无法写入", shown);  // the size, where the file ends in a hole
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
        throw notRegularFileError("无法复制", shown);  // replaced since it was listed
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

// Where the copy started and where it goes, and whom it tells of each file it has finished.
struct CopyNotice {
    const std::filesystem::path& source;
    int copy;
    const CopiedFile& copied;

    void finished(const std::filesystem::path& shown) const {
        if (copied) {
            copied(copy, shown.lexically_relative(source));
        }
    }
};

void copyFolder(int from, int toParent, const std::string& name, const std::filesystem::path& shown,
                int depth, const CopyNotice& notice);

// Copies the entries of one folder into another, then the folder's own attributes, mode
// and times (last: the copy stays private until its content is complete).
void fillFolder(int from, int to, const std::filesystem::path& shown,
                const std::filesystem::path& made, int depth, const CopyNotice& notice) {
    struct stat st {};
    if (::fstat(from, &st) != 0) {
        fail(errno, "无法读取", shown);
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
            copyFolder(sub.get(), to, entry, entryShown, depth + 1, notice);
        } else if (S_ISREG(child.st_mode)) {
            copyFile(from, entry, to, entryShown);
            notice.finished(entryShown);
        } else if (S_ISLNK(child.st_mode)) {
            copySymlink(from, entry, to, child, entryShown);
        } else {
            throw installerError("无法复制“" + entryShown.string() +
                                 "”：安装包中含有不支持的特殊文件（管道、套接字或设备文件）");
        }
    }
    copyExtendedAttributes(from, to, shown);
    keepModeAndTimes(to, st, made);
}

// Makes `name` in the folder, private, and holds it.
UniqueFd makeFolder(int parent, const std::string& name) {
    if (::mkdirat(parent, name.c_str(), 0700) != 0) {
        fail(errno, "无法创建文件夹", at(parent, name));
    }
    UniqueFd made(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | kOpenFlags));
    if (!made) {
        int error = errno;
        ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);  // only ever an empty folder
        fail(error, "无法打开文件夹", at(parent, name));
    }
    return made;
}

// The top of a copy lies in a folder that others may write, who could put a folder of
// theirs at its name between its creation and its opening: what was opened must be a
// private, empty folder of the user this thread makes files as, or the copy would fill,
// and on failure empty, someone else's folder.
void checkMadeHere(int folder, const std::filesystem::path& shown) {
    struct stat st {};
    if (::fstat(folder, &st) != 0) {
        fail(errno, "无法读取", shown);
    }
    if (st.st_uid != fileSystemUserId() || (st.st_mode & 077) != 0 ||
        !folderEntries(folder, shown).empty()) {
        fail(EEXIST, "无法创建文件夹", shown);
    }
}

void copyFolder(int from, int toParent, const std::string& name, const std::filesystem::path& shown,
                int depth, const CopyNotice& notice) {
    if (depth > kMaxTreeDepth) {
        fail(ELOOP, "无法复制", shown, "文件夹层级过深");
    }
    UniqueFd to = makeFolder(toParent, name);
    fillFolder(from, to.get(), shown, at(toParent, name), depth, notice);
}

// A removal stays on the file system it began on: a mount point inside the tree, a file
// system of its own or a folder or file bound there, is left with everything it holds, and
// the removal fails naming it, as at anything else it cannot remove.
constexpr const char* kMountPointLeft = "它是一个挂载点，安装程序不会删除挂载在这里的内容";

[[noreturn]] void failAtMountPoint(const std::filesystem::path& shown) {
    fail(EBUSY, "无法删除", shown, kMountPointLeft);
}

// Whether the kernel reports the item as the root of a mount, which also tells a bind mount
// of the same file system from its parent; nothing where it does not say (before Linux 5.8).
std::optional<bool> reportedMountRoot(int folder, const char* name, int flags) {
    struct statx item {};
    if (::statx(folder, name, flags | AT_NO_AUTOMOUNT, STATX_TYPE, &item) != 0 ||
        (item.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0) {
        return std::nullopt;
    }
    return (item.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// A file of the tree is never held: it leaves its folder by name, and the kernel refuses to
// unlink a mount point of this namespace (EBUSY), so this look, made only then, lets the
// failure say why. Devices decide only where the kernel does not report mount roots: on an
// overlay whose layers lie on several file systems, a file may show its layer's device.
bool fileIsMountPoint(int folder, const std::string& name, const struct stat& st) {
    const std::optional<bool> root = reportedMountRoot(folder, name.c_str(), AT_SYMLINK_NOFOLLOW);
    struct stat here {};
    return root ? *root : ::fstat(folder, &here) == 0 && st.st_dev != here.st_dev;
}

// Fails with the reason a file could not be unlinked (errno), naming a mount point as such.
[[noreturn]] void failToUnlink(int folder, const std::string& name, const struct stat& st,
                               const std::filesystem::path& shown) {
    const int error = errno;
    if (error == EBUSY && !S_ISDIR(st.st_mode) && fileIsMountPoint(folder, name, st)) {
        failAtMountPoint(shown);
    }
    fail(error, "无法删除", shown);
}

// A folder of a tree being removed, held without following a link, and opened for reading
// only once it is known to be `expected` and to lie on its parent's file system: nothing of
// a folder that is not is touched. Both are asked of the folder held, never of the name. A
// folder without read or search permission for its owner gets them through the descriptor
// that holds it, never by name, so a link put in its place meanwhile is never what changes.
struct HeldFolder {
    UniqueFd fd;
    bool foreign = false;     // something else stands at the name
    bool mountPoint = false;  // another file system, or a bind mount, begins there
    int error = 0;            // why nothing could be held, when neither
};

HeldFolder openForRemoval(int parent, const std::string& name, const FileIdentity& expected) {
    UniqueFd held(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    struct stat above {};
    if (!held || ::fstat(held.get(), &st) != 0 || ::fstat(parent, &above) != 0) {
        return {UniqueFd(), false, false, errno};
    }
    if (identityOf(st) != expected) {
        return {UniqueFd(), true, false, 0};
    }
    // Another device is another file system (or a btrfs subvolume, left as well); the
    // kernel's word is needed for a bind mount of the parent's own.
    if (st.st_dev != above.st_dev ||
        reportedMountRoot(held.get(), "", AT_EMPTY_PATH).value_or(false)) {
        return {UniqueFd(), false, true, 0};
    }
    UniqueFd readable(::openat(held.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!readable && (errno == EACCES || errno == EPERM)) {
        // The descriptor's own entry in /proc names exactly the folder it holds.
        const std::string self = "/proc/self/fd/" + std::to_string(held.get());
        if (::chmod(self.c_str(), (st.st_mode & 07777) | S_IRWXU) == 0) {
            readable.reset(::openat(held.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
    }
    const int error = readable ? 0 : errno;
    return {std::move(readable), false, false, error};
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
            HeldFolder sub = openForRemoval(folder, entry, identityOf(st));
            if (sub.foreign) {
                fail(ESTALE, "无法删除", shown / entry);  // another folder took its name
            }
            if (sub.mountPoint) {
                failAtMountPoint(shown / entry);
            }
            if (!sub.fd) {
                fail(sub.error, "无法删除", shown / entry);
            }
            removeContents(sub.fd.get(), shown / entry, depth + 1);
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
                failToUnlink(folder, entry, st, shown / entry);
            }
        }
    }
}

// The last step of a removal: the emptied folder leaves its parent. This one goes by
// name, so the name is looked at once more right before.
bool removeEmptiedFolder(int parent, const std::string& name, const FileIdentity& expected) {
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        identityOf(st) != expected) {
        return false;
    }
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        fail(errno, "无法删除", at(parent, name));
    }
    return true;
}

}  // namespace

CopiedTree copyTree(int source, const std::filesystem::path& sourcePath, int destinationFolder,
                    const std::string& name, const CopiedFile& copied) {
    // A reading of its own: `source` may be read by others (a check) at the same time.
    UniqueFd from(::openat(source, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!from) {
        fail(errno, "无法读取", sourcePath);
    }
    UniqueFd to;
    try {
        to = makeFolder(destinationFolder, name);
    } catch (const Error& error) {
        // The top of the copy: what the user can act on is the folder it goes into.
        fail(static_cast<int>(error.code()), "无法写入文件夹", pathOfDescriptor(destinationFolder));
    }
    checkMadeHere(to.get(), at(destinationFolder, name));
    struct stat made {};
    try {
        if (::fstat(to.get(), &made) != 0) {
            fail(errno, "无法读取", at(destinationFolder, name));
        }
        dropInheritedAcls(to.get(), at(destinationFolder, name));
        fillFolder(from.get(), to.get(), sourcePath, at(destinationFolder, name), 0,
                   CopyNotice{sourcePath, to.get(), copied});
    } catch (const Error& error) {
        // What was written goes, but only the folder made here.
        try {
            removeContents(to.get(), at(destinationFolder, name), 0);
            removeEmptiedFolder(destinationFolder, name, identityOf(made));
        } catch (...) {
        }
        // A full, over-quota or read-only disk is the destination folder's, whichever file
        // the copy had reached: name the folder the user can act on.
        int code = static_cast<int>(error.code());
        if (error.domain() == kPosixErrorDomain &&
            (code == ENOSPC || code == EDQUOT || code == EROFS)) {
            fail(code, "无法写入文件夹", pathOfDescriptor(destinationFolder));
        }
        throw;
    }
    return CopiedTree{std::move(to), identityOf(made)};
}

void removeTree(int folder, const std::string& name) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return;
        }
        fail(errno, "无法删除", at(folder, name));
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
            failToUnlink(folder, name, st, at(folder, name));
        }
        return;
    }
    removeTreeIf(folder, name, identityOf(st));
}

bool removeTreeIf(int folder, const std::string& name, const FileIdentity& expected) {
    HeldFolder held = openForRemoval(folder, name, expected);
    if (held.mountPoint) {
        failAtMountPoint(at(folder, name));
    }
    if (!held.fd) {
        if (held.foreign || held.error == ENOENT || held.error == ENOTDIR || held.error == ELOOP) {
            return false;  // nothing there, or not the folder expected
        }
        fail(held.error, "无法删除", at(folder, name));
    }
    removeContents(held.fd.get(), at(folder, name), 0);
    return removeEmptiedFolder(folder, name, expected);
}

}  // namespace tessuro
