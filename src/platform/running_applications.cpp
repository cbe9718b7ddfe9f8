#include "platform/running_applications.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/files.h"

namespace tessuro {
namespace {

// /proc/<pid>/status is a few kilobytes; anything longer is not what it should be.
constexpr std::size_t kMaxStatusSize = 64 * 1024;

int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool pidfdHasExited(int pidfd) {
    struct pollfd entry {};
    entry.fd = pidfd;
    entry.events = POLLIN;
    int rc;
    do {
        rc = ::poll(&entry, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::vector<pid_t> processIdentifiers() {
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return pids;
    }
    while (const dirent* entry = ::readdir(proc)) {
        const char* name = entry->d_name;
        const char* end = name + std::strlen(name);
        pid_t pid = 0;
        auto [rest, error] = std::from_chars(name, end, pid);
        if (error == std::errc() && rest == end && pid > 0) {
            pids.push_back(pid);
        }
    }
    ::closedir(proc);
    std::sort(pids.begin(), pids.end());
    return pids;
}

// Whether the process's real or saved user ID is `user` ("Uid:" of its status: real,
// effective, saved, file system).
bool belongsTo(pid_t pid, uid_t user) {
    std::string status;
    try {
        status = readFileContents("/proc/" + std::to_string(pid) + "/status", kMaxStatusSize);
    } catch (const Error&) {
        return false;  // gone meanwhile
    }
    const std::size_t line = status.find("\nUid:");
    if (line == std::string::npos) {
        return false;
    }
    std::istringstream ids(status.substr(line + 5, status.find('\n', line + 1) - line - 5));
    long long real = -1, effective = -1, saved = -1;
    ids >> real >> effective >> saved;
    return real == static_cast<long long>(user) || saved == static_cast<long long>(user);
}

std::optional<std::filesystem::path> executableOf(pid_t pid) {
    std::error_code error;
    std::filesystem::path link = "/proc/" + std::to_string(pid) + "/exe";
    std::filesystem::path target = std::filesystem::read_symlink(link, error);
    if (error || target.empty()) {
        return std::nullopt;  // kernel thread, zombie, or another user's process
    }
    return target;
}

}  // namespace

ProcessApplication::ProcessApplication(UniqueFd pidfd, pid_t pid, std::filesystem::path bundle)
    : pidfd_(std::move(pidfd)), pid_(pid), bundle_(std::move(bundle)) {}

bool ProcessApplication::terminate() {
    return ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGTERM, nullptr, 0) == 0;
}

bool ProcessApplication::isTerminated() {
    return pidfdHasExited(pidfd_.get());
}

RunningApplications runningApplicationsWithBundleIdentifier(std::string_view bundleIdentifier,
                                                            uid_t user) {
    RunningApplications found;
    // Many processes share one bundle; read each bundle's Info.plist once per listing.
    std::map<std::filesystem::path, bool> bundleMatches;
    for (pid_t pid : processIdentifiers()) {
        // Open the pidfd first and look at /proc afterwards: if the process is still alive
        // after the look, what we read belongs to the process the pidfd holds.
        UniqueFd pidfd(pidfdOpen(pid));
        if (!pidfd || !belongsTo(pid, user)) {
            continue;
        }
        std::optional<std::filesystem::path> executable = executableOf(pid);
        if (!executable) {
            continue;
        }
        std::filesystem::path bundle = bundlePathForExecutable(*executable);
        if (bundle == executable->parent_path()) {
            continue;  // not inside a bundle
        }
        auto known = bundleMatches.find(bundle);
        if (known == bundleMatches.end()) {
            bool matches = bundleInfoString(bundle, "CFBundleIdentifier") == bundleIdentifier;
            known = bundleMatches.emplace(bundle, matches).first;
        }
        if (!known->second || pidfdHasExited(pidfd.get())) {
            continue;
        }
        found.push_back(std::make_shared<ProcessApplication>(std::move(pidfd), pid, bundle));
    }
    return found;
}

}  // namespace tessuro
