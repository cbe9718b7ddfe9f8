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

ChildProcess::ChildProcess(const std::filesystem::path& executable, Options options) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    std::vector<std::string> argStrings{executable.string()};
    argStrings.insert(argStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& arg : argStrings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        if (options.runAs) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(*options.runAs) != 0 ||
                ::setuid(*options.runAs) != 0) {
                ::_exit(126);
            }
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    output_.reset(pipeFds[0]);
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string ChildProcess::readLine(int seconds) {
    std::string line;
    char c;
    while (true) {
        struct pollfd entry {
            output_.get(), POLLIN, 0
        };
        if (::poll(&entry, 1, seconds * 1000) <= 0) {
            return line;
        }
        ssize_t n = ::read(output_.get(), &c, 1);
        if (n <= 0 || c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

std::string ChildProcess::readAll(int seconds) {
    std::string all;
    char buffer[4096];
    for (;;) {
        struct pollfd entry {
            output_.get(), POLLIN, 0
        };
        if (::poll(&entry, 1, seconds * 1000) <= 0) {
            return all;
        }
        ssize_t n = ::read(output_.get(), buffer, sizeof buffer);
        if (n <= 0) {
            return all;
        }
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

bool ChildProcess::hasExited() const {
    struct pollfd entry {
        pidfd_.get(), POLLIN, 0
    };
    return ::poll(&entry, 1, 0) > 0;
}

bool ChildProcess::waitForExit(int seconds) {
    struct pollfd entry {
        pidfd_.get(), POLLIN, 0
    };
    return ::poll(&entry, 1, seconds * 1000) > 0;
}

uid_t nobodyUid() {
    struct passwd* entry = ::getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

}  // namespace tessuro::test
