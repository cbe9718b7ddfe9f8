#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tessuro::test {
namespace {

// Whether `fd` becomes readable (for a pidfd: the process exits) within `seconds`.
bool readable(int fd, int seconds) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, seconds * 1000) > 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& executable, Options options) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    options.arguments.insert(options.arguments.begin(), executable.string());
    std::vector<char*> argv;
    for (auto& arg : options.arguments) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    const struct passwd* account = options.user ? ::getpwuid(*options.user) : nullptr;
    const gid_t group = account != nullptr ? account->pw_gid : static_cast<gid_t>(-1);
    if (pid_ == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        if (options.user && (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 ||
                             ::setuid(*options.user) != 0)) {
            ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    output_.reset(pipeFds[0]);
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
}

ChildProcess::~ChildProcess() {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

std::string ChildProcess::readLine(int seconds) {
    std::string line;
    char c;
    while (readable(output_.get(), seconds) && ::read(output_.get(), &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    return line;
}

bool ChildProcess::hasExited() const {
    return readable(pidfd_.get(), 0);
}

bool ChildProcess::waitForExit(int seconds) {
    return readable(pidfd_.get(), seconds);
}

uid_t nobodyUid() {
    struct passwd* entry = ::getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

DesktopUser nobodyWithHome(const std::filesystem::path& home) {
    DesktopUser user = userWithId(nobodyUid());
    user.home = home;
    return user;
}

}  // namespace tessuro::test
