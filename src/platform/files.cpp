#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/error.h"
#include "platform/unique_fd.h"

namespace tessuro {

bool fileExists(const std::filesystem::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

namespace {

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// The status of an open file, refusing anything but a regular file; `shown()` names the
// file, and is asked only on failure.
template <class Shown>
struct stat regularFileStatus(const UniqueFd& fd, const Shown& shown) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw posixError(errno, "无法读取", shown());
    }
    if (S_ISDIR(st.st_mode)) {
        throw posixError(EISDIR, "无法读取", shown());
    }
    if (!S_ISREG(st.st_mode)) {
        throw notRegularFileError("无法读取", shown());
    }
    return st;
}

// Reads the whole of a regular file opened for reading.
std::string readOpened(const UniqueFd& fd, const struct stat& st,
                       const std::filesystem::path& shown, std::size_t maxBytes) {
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        throw posixError(EFBIG, "无法读取", shown);
    }
    std::string data;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw posixError(errno, "无法读取", shown);
        }
        if (n == 0) {
            break;
        }
        if (data.size() + static_cast<std::size_t>(n) > maxBytes) {
            throw posixError(EFBIG, "无法读取", shown);
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
    return data;
}

}  // namespace

std::string readFileContents(const std::filesystem::path& path, std::size_t maxBytes) {
    UniqueFd fd(::open(path.c_str(), kReadFlags));
    if (!fd) {
        throw posixError(errno, "无法读取", path);
    }
    return readOpened(fd, regularFileStatus(fd, [&] { return path; }), path, maxBytes);
}

UniqueFd openRegularFileAt(int folder, const std::filesystem::path& relative, struct stat* status) {
    auto shown = [&] { return pathOfDescriptor(folder) / relative; };
    UniqueFd current;
    int at = folder;
    const std::filesystem::path rest = relative.relative_path();
    for (auto part = rest.begin(); part != rest.end(); ++part) {
        bool last = std::next(part) == rest.end();
        int flags = last ? kReadFlags | O_NOFOLLOW : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        UniqueFd next(::openat(at, part->c_str(), flags));
        if (!next) {
            if (errno == ELOOP) {
                throw linkNotFollowedError("无法读取", shown());
            }
            throw posixError(errno, "无法读取", shown());
        }
        current = std::move(next);
        at = current.get();
    }
    if (!current) {
        throw posixError(EISDIR, "无法读取", shown());
    }
    struct stat st = regularFileStatus(current, shown);
    if (status != nullptr) {
        *status = st;
    }
    return current;
}

void writeAll(int fd, std::string_view data, const std::filesystem::path& shown) {
    for (std::size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw posixError(n < 0 ? errno : EIO, "无法写入磁盘", shown);
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string readFileContentsAt(int folder, const std::filesystem::path& relative,
                               std::size_t maxBytes) {
    struct stat st {};
    UniqueFd fd = openRegularFileAt(folder, relative, &st);
    return readOpened(fd, st, pathOfDescriptor(folder) / relative, maxBytes);
}

std::vector<std::string> folderEntries(int folder, const std::filesystem::path& shown) {
    int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        throw posixError(errno, "无法读取文件夹", shown);
    }
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        int saved = errno;
        ::close(copy);
        throw posixError(saved, "无法读取文件夹", shown);
    }
    ::rewinddir(dir);  // the copy shares its position with `folder`
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
        errno = 0;
    }
    int saved = errno;
    ::closedir(dir);
    if (saved != 0) {
        throw posixError(saved, "无法读取文件夹", shown);
    }
    return names;
}

std::filesystem::path pathOfDescriptor(int fd) {
    if (fd == AT_FDCWD) {
        std::error_code error;
        return std::filesystem::current_path(error);
    }
    std::error_code error;
    std::filesystem::path path =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    return error ? std::filesystem::path("?") : path;
}

}  // namespace tessuro
