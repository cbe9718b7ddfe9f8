#pragma once

namespace tessuro {

// How far a thread steps back for others: file work below the thread that draws the
// window, and work that runs beside the file work below that again.
enum class Yield { ToWindow, ToFileWork };

// Makes the calling thread, and the threads it starts from now on, step back (never
// forward: a thread already lower stays as it is).
void lowerCurrentThreadPriority(Yield yield = Yield::ToWindow) noexcept;

}  // namespace tessuro
