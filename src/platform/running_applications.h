#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace tessuro {

// One running copy of an application, as the install run sees it.
class RunningApplication {
public:
    virtual ~RunningApplication() = default;

    // Asks the application to quit, the regular way (never a forced kill). True when the
    // request was delivered.
    virtual bool terminate() = 0;

    // True once the application has exited.
    virtual bool isTerminated() = 0;
};

using RunningApplications = std::vector<std::shared_ptr<RunningApplication>>;

// A process found through /proc, held by a pidfd so that a reused process ID can never
// redirect a request to another program.
class ProcessApplication final : public RunningApplication {
public:
    ProcessApplication(UniqueFd pidfd, pid_t pid, std::filesystem::path bundle);

    bool terminate() override;     // SIGTERM through the pidfd
    bool isTerminated() override;  // the pidfd reports exit (a zombie has exited)

    pid_t processIdentifier() const noexcept { return pid_; }
    const std::filesystem::path& bundlePath() const noexcept { return bundle_; }

private:
    UniqueFd pidfd_;
    pid_t pid_;
    std::filesystem::path bundle_;
};

// The processes of `user` whose executable lies in a bundle ("X.app/Contents/MacOS/...")
// whose Info.plist carries `bundleIdentifier` as CFBundleIdentifier, in ascending process ID
// order. A process is the user's when its real or saved user ID is the user's: one the user
// may signal. Other users' processes are neither read nor listed (their copies of the
// application keep their open files through an install). A process whose executable this
// process may not read is not listed.
RunningApplications runningApplicationsWithBundleIdentifier(std::string_view bundleIdentifier,
                                                            uid_t user);

}  // namespace tessuro
