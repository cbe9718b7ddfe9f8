#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tessuro {

void lowerCurrentThreadPriority(Yield yield) noexcept {
    // On Linux the nice value belongs to the thread, and new threads inherit it.
    const int nice = yield == Yield::ToWindow ? 5 : 10;
    pid_t thread = static_cast<pid_t>(::syscall(SYS_gettid));
    if (::getpriority(PRIO_PROCESS, static_cast<id_t>(thread)) < nice) {
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice);
    }
}

}  // namespace tessuro
