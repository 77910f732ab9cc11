#pragma once

#include "chat/history_index_wait.h"
#include "platform/published.h"

namespace vask::test {

// The history index as a test sets it: each set() tells every observer. Main executor only.
class FakeHistoryIndex final : public HistoryIndex {
  public:
    explicit FakeHistoryIndex(HistoryIndexState initial = HistoryIndexState::whole())
        : state_(std::move(initial)) {}

    HistoryIndexState state() override {
        ++looks_;
        return state_.get();
    }
    Subscription observe(std::function<void()> changed) override {
        return state_.subscribe([changed = std::move(changed)](const auto&) { changed(); },
                                Delivery::changesOnly);
    }

    void set(HistoryIndexState state) { state_.set(std::move(state)); }
    // How many observe() subscriptions are alive: none once nothing waits.
    std::size_t observers() const { return state_.subscriberCount(); }
    int looks() const { return looks_; }

  private:
    Published<HistoryIndexState> state_;
    int looks_ = 0;
};

}  // namespace vask::test
