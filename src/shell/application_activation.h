#pragma once

#include <functional>

#include "platform/subscription.h"

namespace vask {

// The application object as the view models need it: whether it is the active application,
// bringing it to the front, and hearing when it becomes active. The window layer provides the
// real one; all three are used on the main executor.
class ApplicationActivation {
  public:
    virtual ~ApplicationActivation() = default;
    virtual bool isActive() const = 0;
    virtual void activateIgnoringOtherApps() = 0;
    // `handler` runs on the main executor each time the application becomes active, for as long
    // as the returned subscription lives.
    [[nodiscard]] virtual Subscription observeDidBecomeActive(std::function<void()> handler) = 0;
};

// A process without a window system: never active, never activated, never told of activation.
class HeadlessApplication final : public ApplicationActivation {
  public:
    bool isActive() const override { return false; }
    void activateIgnoringOtherApps() override {}
    Subscription observeDidBecomeActive(std::function<void()> /*handler*/) override { return {}; }
};

}  // namespace vask
