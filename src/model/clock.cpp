#include "model/clock.h"

#include <QCoroTimer>

namespace tessuro {
namespace {

class SystemClock final : public Clock {
public:
    std::chrono::system_clock::time_point now() override {
        return std::chrono::system_clock::now();
    }
    QCoro::Task<> sleep(std::chrono::milliseconds duration) override {
        co_await QCoro::sleepFor(duration);
    }
};

}  // namespace

std::shared_ptr<Clock> systemClock() {
    return std::make_shared<SystemClock>();
}

}  // namespace tessuro
