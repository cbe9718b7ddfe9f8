#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tessuro {

// The person the installer acts for. Started by root through pkexec or sudo, it acts for
// the user who asked for it (PKEXEC_UID, else SUDO_UID); otherwise for its own user. The
// application it installs into that user's folder, and the application it launches, are
// that user's: never root's on the user's behalf.
struct DesktopUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // every group the user belongs to, the primary one included
    std::string name;
    std::filesystem::path home;
    std::string shell;

    // Whether the process runs as root on behalf of this user, so that what it makes for
    // the user and what it starts must take the user's credentials.
    bool isAnotherUser() const;
};

// The user ID the installer acts for: PKEXEC_UID, else SUDO_UID, when it runs as root and
// the variable holds a user ID; its own real user ID otherwise. Reads no database.
uid_t desktopUserId();

// That user, from the user and group databases. The home folder of the installer's own
// user is $HOME when it is an absolute path; another user's is the database's. Fails with
// a POSIX error when the database knows no such user.
DesktopUser desktopUser();

// The user of that ID, from the databases; fails as desktopUser() does.
DesktopUser userWithId(uid_t uid);

// While it lives, the calling thread reads, makes, moves and removes files as `user`: its
// file-system user, group and supplementary groups become the user's, and with them root's
// power over other users' files is set aside. Threads it starts meanwhile inherit this.
// Nothing changes when the process does not run as root for another user. Fails with a
// POSIX error when the thread's credentials cannot be changed.
class FilesAsUser {
public:
    explicit FilesAsUser(const DesktopUser& user);
    ~FilesAsUser();
    FilesAsUser(const FilesAsUser&) = delete;
    FilesAsUser& operator=(const FilesAsUser&) = delete;

private:
    void restore() noexcept;

    bool changed_ = false;
    std::vector<gid_t> savedGroups_;
};

// The user whose credentials the calling thread's file operations use (its file-system
// user ID): the owner of what it creates.
uid_t fileSystemUserId();

}  // namespace tessuro
