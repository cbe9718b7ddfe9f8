#pragma once

#include <QCoroTask>
#include <chrono>
#include <memory>

namespace tessuro {

// Time as the install run sees it: the wall clock for its deadline, and a sleep on the
// monotonic clock that suspends the calling coroutine without blocking the event loop.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::system_clock::time_point now() = 0;
    virtual QCoro::Task<> sleep(std::chrono::milliseconds duration) = 0;
};

// The real clock: system time, and a Qt timer (monotonic) for the sleep.
std::shared_ptr<Clock> systemClock();

}  // namespace tessuro
