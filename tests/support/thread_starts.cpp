#include "thread_starts.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> failFrom{0};  // 0: no start fails
std::atomic<int> started{0};   // the starts asked for while failFrom was set

using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// The definition this one stands in front of: the C library's, or a sanitizer's, which
// passes it on in turn.
Create nextCreate() {
    static const Create next = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

}  // namespace

// Every thread the test program starts, the standard library's included, starts here.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    const int from = failFrom.load();
    if (from > 0 && ++started >= from) {
        return EAGAIN;
    }
    const Create next = nextCreate();
    return next != nullptr ? next(thread, attributes, start, argument) : EAGAIN;
}

namespace tessuro::test {

ThreadStartsFail::ThreadStartsFail(int nth) {
    nextCreate();  // looked up before any start can fail
    started = 0;
    failFrom = nth;
}

ThreadStartsFail::~ThreadStartsFail() {
    failFrom = 0;
}

int ThreadStartsFail::starts() const {
    return started.load();
}

}  // namespace tessuro::test
