#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace tessuro {

// What tells one file-system object from every other, whatever its name: the device that
// holds it and its inode number there.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

inline FileIdentity identityOf(const struct stat& status) {
    return {status.st_dev, status.st_ino};
}

// True when something the caller may use stands at the path (symbolic links followed, so a
// dangling link answers false).
bool fileExists(const std::filesystem::path& path) noexcept;

// The whole content of a regular file. The file is opened without blocking and refused
// unless it is a regular file before a byte is read, so a FIFO or a device in its place
// can neither stall the reader nor be woken by it. Fails with a POSIX error naming the
// file, and with EFBIG when the file is larger than maxBytes.
std::string readFileContents(const std::filesystem::path& path, std::size_t maxBytes);

// The regular file `relative` below an open folder, opened for reading without blocking and
// never following a symbolic link on the way: every folder of the relative path and the
// file itself are opened O_NOFOLLOW. Anything but a regular file is refused. The error
// names the folder's current path joined with `relative`; `status` receives the file's.
UniqueFd openRegularFileAt(int folder, const std::filesystem::path& relative,
                           struct stat* status = nullptr);

// The whole content of such a file (see readFileContents).
std::string readFileContentsAt(int folder, const std::filesystem::path& relative,
                               std::size_t maxBytes);

// Writes all of `data` to `fd`, through short writes and interruptions; fails with a POSIX
// error ("无法写入磁盘") naming `shown`.
void writeAll(int fd, std::string_view data, const std::filesystem::path& shown);

// The names in an open folder, without "." and ".."; `shown` names the folder in errors.
std::vector<std::string> folderEntries(int folder, const std::filesystem::path& shown);

// The path of an open folder (the working folder for AT_FDCWD), for messages only: "?"
// when the system cannot tell it.
std::filesystem::path pathOfDescriptor(int fd);

}  // namespace tessuro
