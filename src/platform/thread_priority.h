#pragma once

namespace tessuro {

// Makes the calling thread, and the threads it starts from now on, yield to the user's
// interactive work: the file work of an installation runs at the priority of work the user
// waits for, below the thread that draws the window.
void lowerCurrentThreadPriority() noexcept;

}  // namespace tessuro
