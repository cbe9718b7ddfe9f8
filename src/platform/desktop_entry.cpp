#include "platform/desktop_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/error.h"
#include "platform/unique_fd.h"
#include "platform/uuid.h"

namespace tessuro {
namespace {

constexpr std::size_t kLargestEntry = 64 * 1024;
// Every user's desktop reads the entries and the folders they are in, whatever the umask.
constexpr mode_t kEntryMode = 0644;
constexpr mode_t kFolderMode = 0755;

// Makes the folders of `path` that are missing, each readable by everyone.
void makeFolders(const std::filesystem::path& path) {
    std::filesystem::path made;
    for (const auto& part : path) {
        made /= part;
        if (::mkdir(made.c_str(), kFolderMode) == 0) {
            ::chmod(made.c_str(), kFolderMode);
        } else if (errno != EEXIST) {
            throw posixError(errno, "无法写入", made);
        }
    }
}

void requireWritable(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (!path.is_absolute() || text.find_first_of("\n\r") != std::string::npos) {
        throw posixError(EINVAL, "无法登记应用程序", path, "路径不能写入桌面项");
    }
}

// A value of type string: backslash, and the characters the format cannot hold as they are.
std::string escapeString(std::string_view value) {
    std::string out;
    for (char c : value) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

// One argument of Exec: quoted, with the characters that stay special inside quotes escaped,
// a percent sign doubled (not a field code); then escaped as any string value is.
std::string execArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    quoted += '"';
    return escapeString(quoted);
}

std::string readSmallFile(int folder, const std::string& name) {
    UniqueFd fd(
        ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        return {};
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        (status.st_mode & 07777) != kEntryMode ||
        static_cast<std::size_t>(status.st_size) > kLargestEntry) {
        return {};
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n <= 0) {
            return {};
        }
        done += static_cast<std::size_t>(n);
    }
    return text;
}

}  // namespace

std::string desktopEntryText(const std::string& name, const std::filesystem::path& executable,
                             const std::optional<std::filesystem::path>& icon) {
    requireWritable(executable);
    std::string text = "[Desktop Entry]\nType=Application\nName=" + escapeString(name) +
                       "\nExec=" + execArgument(executable.native()) +
                       "\nTryExec=" + escapeString(executable.native()) + "\n";
    if (icon) {
        requireWritable(*icon);
        text += "Icon=" + escapeString(icon->native()) + "\n";
    }
    return text;
}

std::filesystem::path desktopEntryFolder(bool inUserFolder, const DesktopUser& user) {
    if (!inUserFolder) {
        return "/usr/local/share/applications";
    }
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (!user.isAnotherUser() && dataHome != nullptr &&
        std::filesystem::path(dataHome).is_absolute()) {
        return std::filesystem::path(dataHome) / "applications";
    }
    return user.home / ".local/share/applications";
}

void writeDesktopEntry(const std::filesystem::path& folder, const std::string& fileName,
                       const std::string& text) {
    makeFolders(folder);
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        throw posixError(errno, "无法写入", folder);
    }
    if (readSmallFile(dir.get(), fileName) == text) {
        return;  // unchanged: left as it is
    }
    const std::string temporary = "." + fileName + "-" + randomUuidText();
    UniqueFd out(::openat(dir.get(), temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kEntryMode));
    if (!out) {
        throw posixError(errno, "无法写入", folder / fileName);
    }
    auto fail = [&](int errnum) {
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        throw posixError(errnum, "无法写入", folder / fileName);
    };
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(out.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fail(n < 0 ? errno : EIO);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(out.get(), kEntryMode) != 0 || ::fsync(out.get()) != 0) {
        fail(errno);
    }
    if (::renameat(dir.get(), temporary.c_str(), dir.get(), fileName.c_str()) != 0) {
        fail(errno);
    }
    ::fsync(dir.get());
}

void registerInstalledApplication(const HeldBundle& installed, const std::string& name,
                                  const std::string& bundleIdentifier, bool inUserFolder,
                                  const DesktopUser& user) {
    if (installed.verified.executable.empty()) {
        return;
    }
    std::optional<std::filesystem::path> icon;
    if (std::optional<std::string> file = bundleInfoString(installed.path, "CFBundleIconFile")) {
        const std::filesystem::path named(*file);
        if (!file->empty() && named.filename() == named) {
            for (const std::string& candidate : {*file, *file + ".png"}) {
                const auto path = installed.path / "Contents/Resources" / candidate;
                std::error_code error;
                if (std::filesystem::is_regular_file(
                        std::filesystem::symlink_status(path, error))) {
                    icon = path;
                    break;
                }
            }
        }
    }
    writeDesktopEntry(desktopEntryFolder(inUserFolder, user), bundleIdentifier + ".desktop",
                      desktopEntryText(name, installed.path / installed.verified.executable, icon));
}

}  // namespace tessuro
