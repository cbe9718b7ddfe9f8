#pragma once

// Thread starts that fail on demand, as they do for a process at its user's process limit
// or in a full task group: the test programs that use this start every thread through
// their own pthread_create, which hands the start on to the system's until told to fail.

namespace tessuro::test {

// While it lives, every thread start from the `nth` one on (counted from its making, the
// first being 1) fails with EAGAIN: 1 lets no thread start at all. Not to be nested.
class ThreadStartsFail {
public:
    explicit ThreadStartsFail(int nth);
    ~ThreadStartsFail();
    ThreadStartsFail(const ThreadStartsFail&) = delete;
    ThreadStartsFail& operator=(const ThreadStartsFail&) = delete;

    // The starts asked for since it was made, those that failed included.
    int starts() const;
};

// The ways of failing that tests try: no thread at all, or the first threads only.
struct ThreadStartFailure {
    const char* name;
    int failingFrom;  // the first start that fails
};
inline constexpr ThreadStartFailure kThreadStartFailures[] = {
    {"no thread at all", 1},
    {"threads fail from the second start", 2},
    {"threads fail from the third start", 3},
};

}  // namespace tessuro::test
