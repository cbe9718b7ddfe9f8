#include "model/published.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessuro {
namespace {

struct Owner {
    Signal<> willChange;
    Published<int> value{1, willChange};
};

TEST(Published, ChangeIsAnnouncedThenDeliveredThenStoredEvenUnchanged) {
    Owner owner;
    std::vector<std::string> events;
    Subscription announced = owner.willChange.subscribe(
        [&] { events.push_back("will change, field " + std::to_string(owner.value.get())); });
    Subscription delivered = owner.value.subscribe([&](const int& v) {
        events.push_back("delivered " + std::to_string(v) + ", field " +
                         std::to_string(owner.value.get()));
    });
    EXPECT_EQ(events, std::vector<std::string>{"delivered 1, field 1"}) << "the current value";
    owner.value.set(2);
    owner.value.set(2);
    EXPECT_EQ(events, (std::vector<std::string>{"delivered 1, field 1", "will change, field 1",
                                                "delivered 2, field 1", "will change, field 2",
                                                "delivered 2, field 2"}));
    EXPECT_EQ(owner.value.get(), 2);
}

TEST(Published, CancelledSubscribersHearNothingMore) {
    Owner owner;
    int first = 0, second = 0, third = 0;
    Subscription a = owner.value.subscribe([&](const int&) { ++first; });
    Subscription b;
    Subscription c = owner.value.subscribe([&](const int&) {
        ++third;
        b.cancel();  // cancelling another one in the middle of a delivery
    });
    b = owner.value.subscribe([&](const int&) { ++second; });
    a.cancel();  // each heard the current value once on subscribing
    owner.value.set(3);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(third, 2);
    EXPECT_EQ(second, 1) << "cancelled during the delivery, before its turn";
    {
        Subscription scoped = owner.willChange.subscribe([&] { ++first; });
    }
    owner.value.set(4);
    EXPECT_EQ(first, 1) << "a dropped token cancels";
}

TEST(Published, TokenMayOutliveWhatItSubscribedTo) {
    Subscription token;
    {
        Owner owner;
        token = owner.value.subscribe([](const int&) {});
    }
    token.cancel();  // must not touch the gone owner (the sanitizer build would see it)
}

}  // namespace
}  // namespace tessuro
