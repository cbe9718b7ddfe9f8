#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "model/installer_model.h"
#include "platform/unique_fd.h"

namespace tessuro {

// While an install runs, shutdown, reboot and sleep asked through logind wait for it: the
// installer holds a logind inhibitor lock ("shutdown:sleep", mode "block") from the moment a
// run starts until it ends, however it ends. The lock is asked for on a thread of its own
// (a D-Bus call to a bus that does not answer may take many seconds), never on the window's.
// Without a system bus or logind, the install goes on as it would, and nothing is shown.
// The lock's descriptor is close-on-exec: the application the installer opens never holds it.
class SleepInhibitor {
public:
    explicit SleepInhibitor(InstallerModel& model);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // True while a lock is held.
    bool holding() const;

private:
    void want(bool installing);
    void work();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool wanted_ = false;
    unsigned run_ = 0;  // runs started
    bool stopping_ = false;
    UniqueFd lock_;
    std::thread thread_;
    Subscription subscription_;
};

}  // namespace tessuro
