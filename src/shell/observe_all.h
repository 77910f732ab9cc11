#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/published.h"
#include "platform/subscription.h"

namespace vask {

// One subscription to the changes of several published values: `changed` runs after each.
template <typename... Values>
Subscription observeAll(std::function<void()> changed, Values&... published) {
    auto subscriptions = std::make_shared<std::vector<Subscription>>();
    (subscriptions->push_back(
         published.subscribe([changed](const auto&) { changed(); }, Delivery::changesOnly)),
     ...);
    return Subscription([subscriptions] { subscriptions->clear(); });
}

}  // namespace vask
