#include "platform/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/error.h"
#include "platform/unique_fd.h"

namespace tessuro {

bool fileExists(const std::filesystem::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return home;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result);
    if (rc != 0 || result == nullptr || result->pw_dir == nullptr) {
        throw Error(std::string(kPosixErrorDomain), rc != 0 ? rc : ENOENT,
                    "找不到当前用户的主文件夹");
    }
    return result->pw_dir;
}

std::string readFileContents(const std::filesystem::path& path, std::size_t maxBytes) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        throw posixError(errno, "无法读取", path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw posixError(errno, "无法读取", path);
    }
    if (S_ISDIR(st.st_mode)) {
        throw posixError(EISDIR, "无法读取", path);
    }
    if (!S_ISREG(st.st_mode)) {
        throw posixError(EINVAL, "无法读取", path);
    }
    std::string data;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw posixError(errno, "无法读取", path);
        }
        if (n == 0) {
            break;
        }
        if (data.size() + static_cast<std::size_t>(n) > maxBytes) {
            throw posixError(EFBIG, "无法读取", path);
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
    return data;
}

}  // namespace tessuro
