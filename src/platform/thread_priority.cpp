#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tessuro {

void lowerCurrentThreadPriority() noexcept {
    // On Linux the nice value belongs to the thread, and new threads inherit it.
    const int kBackgroundNice = 5;
    pid_t thread = static_cast<pid_t>(::syscall(SYS_gettid));
    if (::getpriority(PRIO_PROCESS, static_cast<id_t>(thread)) < kBackgroundNice) {
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), kBackgroundNice);
    }
}

}  // namespace tessuro
