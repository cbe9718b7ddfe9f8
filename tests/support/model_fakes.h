#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "model/clock.h"
#include "model/installer_services.h"
#include "platform/running_applications.h"

namespace tessuro::test {

// A clock whose sleeps return at once, moving its time forward by the amount asked.
class TestClock final : public Clock {
public:
    std::chrono::system_clock::time_point now() override { return now_; }
    QCoro::Task<> sleep(std::chrono::milliseconds duration) override {
        now_ += duration;
        ++sleeps;
        co_return;
    }
    std::chrono::milliseconds elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start_);
    }
    int sleeps = 0;

private:
    std::chrono::system_clock::time_point start_ = std::chrono::system_clock::now();
    std::chrono::system_clock::time_point now_ = start_;
};

// A running copy whose answers the test decides. It writes what it is asked into a
// shared log, so that the order of requests across copies can be checked.
class FakeApplication final : public RunningApplication {
public:
    FakeApplication(std::string name, std::vector<std::string>& log, TestClock& clock)
        : name_(std::move(name)), log_(log), clock_(clock) {}

    bool acceptsTerminate = true;
    // How long after the quit request the copy exits; nothing: it never does.
    std::optional<std::chrono::milliseconds> quitsAfter = std::chrono::milliseconds(0);

    bool terminate() override {
        log_.push_back("terminate " + name_);
        requestedAt_ = clock_.now();
        return acceptsTerminate;
    }
    bool isTerminated() override {
        log_.push_back("isTerminated " + name_);
        return requestedAt_ && quitsAfter && clock_.now() >= *requestedAt_ + *quitsAfter;
    }

private:
    std::string name_;
    std::vector<std::string>& log_;
    TestClock& clock_;
    std::optional<std::chrono::system_clock::time_point> requestedAt_;
};

// The file work of the run: records its calls, then returns or throws as told. It can
// hold the run inside the background task until the test releases it.
class FakeTransaction {
public:
    struct Call {
        std::filesystem::path source;
        std::filesystem::path destination;
        std::chrono::system_clock::time_point at;
    };

    std::function<void()> outcome = [] {};  // throws to fail
    bool holdUntilReleased = false;

    InstallOperation operation(TestClock& clock) {
        return [this, &clock](
                   const std::filesystem::path& source, const std::filesystem::path& destination,
                   const VerifyOperation& verify) -> std::optional<std::filesystem::path> {
            {
                std::unique_lock lock(mutex_);
                calls_.push_back({source, destination, clock.now()});
                changed_.notify_all();
                changed_.wait(lock, [&] { return !holdUntilReleased || released_; });
            }
            verify(source);
            outcome();
            return std::nullopt;
        };
    }

    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::vector<Call> calls_;
};

}  // namespace tessuro::test
