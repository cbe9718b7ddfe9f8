#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop_user.h"
#include "platform/unique_fd.h"

namespace tessuro::test {

// A program started by a test, killed and reaped when the test is done with it.
class ChildProcess {
public:
    struct Options {
        std::vector<std::string> arguments = {};
        std::optional<uid_t> user = {};  // runs as this user and its group (the caller is root)
    };

    ChildProcess(const std::filesystem::path& executable, Options options);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const noexcept { return pid_; }

    // The first line the program writes to its standard output, waiting at most `seconds`.
    std::string readLine(int seconds = 10);

    // True once the program has exited, whether or not it has been reaped.
    bool hasExited() const;

    // Waits for the exit, at most `seconds`; true when it exited.
    bool waitForExit(int seconds);

private:
    pid_t pid_ = -1;
    UniqueFd pidfd_;
    UniqueFd output_;
};

// The user ID of "nobody".
uid_t nobodyUid();

// "nobody" as the installer would act for it, with `home` as its home folder.
DesktopUser nobodyWithHome(const std::filesystem::path& home);

}  // namespace tessuro::test
