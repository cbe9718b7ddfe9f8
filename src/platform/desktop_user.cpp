#include "platform/desktop_user.h"

#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/error.h"

namespace tessuro {
namespace {

// A user ID written in an environment variable by pkexec or sudo.
std::optional<uid_t> userIdFrom(const char* variable) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    const char* end = text + std::strlen(text);
    uid_t uid = 0;
    auto [rest, error] = std::from_chars(text, end, uid);
    if (error != std::errc() || rest != end || uid == static_cast<uid_t>(-1)) {
        return std::nullopt;
    }
    return uid;
}

std::vector<gid_t> groupsOf(const char* name, gid_t primary) {
    std::vector<gid_t> groups(16);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(name, primary, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        groups.resize(static_cast<std::size_t>(count) > groups.size()
                          ? static_cast<std::size_t>(count)
                          : groups.size() * 2);
    }
}

// The calling thread's own credentials: glibc's setgroups changes every thread's, the
// system call only the caller's.
int setThreadGroups(const std::vector<gid_t>& groups) {
    return static_cast<int>(::syscall(SYS_setgroups, groups.size(), groups.data()));
}

}  // namespace

bool DesktopUser::isAnotherUser() const {
    return ::geteuid() == 0 && uid != 0;
}

uid_t desktopUserId() {
    if (::geteuid() == 0) {
        for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
            if (std::optional<uid_t> uid = userIdFrom(variable)) {
                return *uid;
            }
        }
    }
    return ::getuid();
}

DesktopUser userWithId(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0) {
        throw posixError(rc, "找不到用户", std::to_string(uid));
    }
    if (found == nullptr) {
        throw posixError(ENOENT, "找不到用户", std::to_string(uid),
                         "系统的用户数据库中没有这个用户");
    }
    DesktopUser user;
    user.uid = entry.pw_uid;
    user.gid = entry.pw_gid;
    user.name = entry.pw_name != nullptr ? entry.pw_name : "";
    user.home = entry.pw_dir != nullptr && entry.pw_dir[0] == '/' ? entry.pw_dir : "/";
    user.shell = entry.pw_shell != nullptr && entry.pw_shell[0] == '/' ? entry.pw_shell : "/bin/sh";
    user.groups = groupsOf(user.name.c_str(), user.gid);
    return user;
}

DesktopUser desktopUser() {
    DesktopUser user = userWithId(desktopUserId());
    if (!user.isAnotherUser()) {
        // The installer's own user: where its session says home is.
        if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
            user.home = home;
        }
    }
    return user;
}

FilesAsUser::FilesAsUser(const DesktopUser& user) {
    if (!user.isAnotherUser()) {
        return;
    }
    const int count = ::getgroups(0, nullptr);
    savedGroups_.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count < 0 || ::getgroups(count, savedGroups_.data()) != count ||
        setThreadGroups(user.groups) != 0) {
        throw posixError(errno, "无法切换到用户", user.name);
    }
    ::setfsgid(user.gid);
    ::setfsuid(user.uid);
    changed_ = true;
    if (static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) != user.uid ||
        static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) != user.gid) {
        restore();
        throw posixError(EPERM, "无法切换到用户", user.name);
    }
}

FilesAsUser::~FilesAsUser() {
    restore();
}

void FilesAsUser::restore() noexcept {
    if (!changed_) {
        return;
    }
    // Back to the process's own user, whose power over files comes back with it.
    ::setfsuid(::geteuid());
    ::setfsgid(::getegid());
    setThreadGroups(savedGroups_);
    changed_ = false;
}

uid_t fileSystemUserId() {
    return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
}

}  // namespace tessuro
