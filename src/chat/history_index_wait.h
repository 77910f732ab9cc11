#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/subscription.h"
#include "platform/uuid.h"
#include "records/chat_message.h"

namespace vask {

// What the synchronisation reports of the history's full-text index. The first copy of a large
// history builds that index at its end, and a question answered before then would find nothing.
struct HistoryIndexState {
    enum class Phase {
        // Whole: a question is asked at once.
        whole,
        // Still to be built, or not yet known whole: a run in progress (or the next one) builds it.
        building,
        // Still to be built, and the last run failed: `failure` says why.
        failed,
    };
    Phase phase = Phase::whole;
    std::string failure;

    static HistoryIndexState whole() { return {}; }
    static HistoryIndexState building() { return {Phase::building, {}}; }
    static HistoryIndexState failed(std::string why) { return {Phase::failed, std::move(why)}; }
    bool operator==(const HistoryIndexState&) const = default;
};

// The history index as the synchronisation knows it, for the chat: implemented above it (the
// shell's synchronisation view model). Main executor only.
class HistoryIndex {
  public:
    virtual ~HistoryIndex() = default;
    virtual HistoryIndexState state() = 0;
    // `changed` runs on the main executor after each change that may have changed state(), until
    // the subscription ends.
    [[nodiscard]] virtual Subscription observe(std::function<void()> changed) = 0;
};

// The questions waiting for the history index, each until it reaches one of its endings. A
// question waits as an entry here, on the main executor: no thread is held while it waits. Main
// executor only.
class HistoryIndexWait {
  public:
    enum class Ending {
        // The index is whole: the question is asked.
        indexWhole,
        // The synchronisation failed with the index still to be built: the question is not asked,
        // and its row says why.
        syncFailed,
        // Its chat was deleted: nothing is asked, nothing is said.
        chatDeleted,
        // The user signed out, or in again, since it was asked: it is not asked, and says so.
        accountChanged,
    };
    struct Waiting {
        ChatMessage question;
        std::string sessionID;
        // The user's sign-ins and sign-outs noted when it was asked: the account it belongs to.
        std::uint64_t account = 0;
    };
    struct Ended {
        Waiting waiting;
        Ending ending;
    };
    // What the chat knows at a settling.
    struct Now {
        HistoryIndexState index;
        std::uint64_t account = 0;
        std::function<bool(const Waiting&)> chatDeleted;
    };

    // Whether a question asked with the index in this state waits (or ends) rather than be asked.
    static bool holdsBack(const HistoryIndexState& index) {
        return index.phase != HistoryIndexState::Phase::whole;
    }

    void park(Waiting waiting);
    // Takes out, in the order they were parked, every question that has reached an ending: its
    // chat deleted first, then its account gone, then the index failed or whole.
    std::vector<Ended> settle(const Now& now);
    // The question's turn ended otherwise (stopped on quit, the model going): it waits no more.
    void leave(const Uuid& questionID);
    bool holds(const Uuid& questionID) const;
    bool empty() const { return waiting_.empty(); }
    std::size_t size() const { return waiting_.size(); }

  private:
    std::vector<Waiting> waiting_;
};

}  // namespace vask
