#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace tessuro {

// A cancellable subscription. Dropping the token, or calling cancel(), ends the delivery;
// a token may outlive what it subscribed to.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, {});
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { cancel(); }

    void cancel() {
        if (auto cancel = std::exchange(cancel_, {})) {
            cancel();
        }
    }

private:
    std::function<void()> cancel_;
};

// A list of subscribers called in the order they subscribed. A subscriber may subscribe or
// cancel others (or itself) while it is being called: a cancelled one is not called again,
// one added during a delivery first hears the next one.
template <class... Args>
class Signal {
public:
    using Subscriber = std::function<void(const Args&...)>;

    [[nodiscard]] Subscription subscribe(Subscriber subscriber) {
        std::uint64_t id = state_->nextId++;
        state_->subscribers.emplace(id, std::move(subscriber));
        return Subscription([weak = std::weak_ptr<State>(state_), id] {
            if (auto state = weak.lock()) {
                state->subscribers.erase(id);
            }
        });
    }

    void send(const Args&... args) const {
        std::shared_ptr<State> state = state_;
        std::vector<std::uint64_t> ids;
        ids.reserve(state->subscribers.size());
        for (const auto& entry : state->subscribers) {
            ids.push_back(entry.first);
        }
        for (std::uint64_t id : ids) {
            auto found = state->subscribers.find(id);
            if (found != state->subscribers.end()) {
                Subscriber subscriber = found->second;
                subscriber(args...);
            }
        }
    }

private:
    struct State {
        std::uint64_t nextId = 0;
        std::map<std::uint64_t, Subscriber> subscribers;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// An observable value. A write first announces the coming change on the owner's
// will-change signal, then hands the new value to the field's own subscribers, and only
// then stores it: a subscriber uses the value it is handed, not the field. A new subscriber
// hears the current value at once; every write is delivered, an unchanged value too.
template <class T>
class Published {
public:
    Published(T initial, const Signal<>& willChange)
        : value_(std::move(initial)), willChange_(willChange) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const noexcept { return value_; }

    void set(T value) {
        willChange_.send();
        subject_.send(value);
        value_ = std::move(value);
    }

    [[nodiscard]] Subscription subscribe(std::function<void(const T&)> subscriber) {
        subscriber(value_);
        return subject_.subscribe(std::move(subscriber));
    }

private:
    T value_;
    const Signal<>& willChange_;
    Signal<T> subject_;
};

}  // namespace tessuro
