#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/change_observers.h"
#include "platform/published.h"

namespace vask {
namespace {

TEST(Published, DeliversCurrentValueOnlyWhenAsked) {
    Published<int> value(4);
    std::vector<int> first;
    std::vector<int> changes;
    auto a = value.subscribe([&](int v) { first.push_back(v); });
    auto b = value.subscribe([&](int v) { changes.push_back(v); }, Delivery::changesOnly);
    value.set(5);
    EXPECT_EQ(first, (std::vector<int>{4, 5}));
    EXPECT_EQ(changes, (std::vector<int>{5}));
}

TEST(Published, EveryAssignmentNotifiesEvenWithTheSameValue) {
    Published<std::string> value("idle");
    int deliveries = 0;
    auto sub = value.subscribe([&](const std::string&) { ++deliveries; }, Delivery::changesOnly);
    value.set("idle");
    value.set("idle");
    EXPECT_EQ(deliveries, 2);
}

TEST(Published, DestroyedSubscriptionStopsDelivery) {
    Published<int> value;
    int deliveries = 0;
    {
        auto sub = value.subscribe([&](int) { ++deliveries; }, Delivery::changesOnly);
        value.set(1);
    }
    value.set(2);
    EXPECT_EQ(deliveries, 1);
    EXPECT_EQ(value.subscriberCount(), 0u);

    auto moved = value.subscribe([&](int) { ++deliveries; }, Delivery::changesOnly);
    Subscription target = std::move(moved);
    EXPECT_FALSE(moved.isActive());
    target.cancel();
    value.set(3);
    EXPECT_EQ(deliveries, 1);
}

TEST(Published, SubscriberCancelledDuringDeliveryIsNotCalledAfterwards) {
    Published<int> value;
    std::vector<std::string> calls;
    Subscription second;
    auto first = value.subscribe(
        [&](int) {
            calls.push_back("first");
            second.cancel();
        },
        Delivery::changesOnly);
    second = value.subscribe([&](int) { calls.push_back("second"); }, Delivery::changesOnly);
    value.set(1);
    EXPECT_EQ(calls, (std::vector<std::string>{"first"}));
}

TEST(Published, SubscriptionOutlivingThePublishedValueIsHarmless) {
    auto value = std::make_unique<Published<int>>(1);
    auto sub = value->subscribe([](int) {});
    value.reset();
    sub.cancel();
    EXPECT_FALSE(sub.isActive());
}

TEST(ChangeObservers, ObserverRemovedByAnEarlierOneIsNotCalled) {
    ChangeObservers changes;
    std::vector<int> calls;
    Subscription second;
    auto first = changes.observe([&] {
        calls.push_back(1);
        second.cancel();
    });
    second = changes.observe([&] { calls.push_back(2); });
    changes.notify();
    changes.notify();
    EXPECT_EQ(calls, (std::vector<int>{1, 1}));
}

TEST(ChangeObservers, EachListHearsOnlyItsOwnChanges) {
    ChangeObservers one;
    ChangeObservers other;
    int heard = 0;
    auto sub = one.observe([&] { ++heard; });
    other.notify();
    EXPECT_EQ(heard, 0);
    one.notify();
    EXPECT_EQ(heard, 1);
    sub.cancel();
    one.notify();
    EXPECT_EQ(heard, 1);
}

TEST(ChangeObservers, ConcurrentNotificationsAndRegistrationsAreSafe) {
    ChangeObservers changes;
    std::atomic<int> heard{0};
    auto steady = changes.observe([&] { heard.fetch_add(1); });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto transient = changes.observe([] {});
                changes.notify();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(heard.load(), 2000);
}

}  // namespace
}  // namespace vask
