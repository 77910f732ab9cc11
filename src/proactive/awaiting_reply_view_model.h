#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/scheduler.h"
#include "platform/subscription.h"
#include "platform/user_defaults.h"
#include "proactive/awaiting_read_state.h"
#include "proactive/needs_reply_classification_debouncer.h"
#include "store/awaiting_reply.h"

namespace vask {

// The one-to-one conversations awaiting the user's reply, reloaded after every synchronisation,
// without those marked as read, and classified in the background. Main executor only; the query
// runs on the worker executor.
class AwaitingReplyViewModel {
  public:
    struct DatabasePaths {
        std::string shadow;
        std::string contacts;
    };
    // Delivers the current synchronisation generation at once and every later one.
    using SyncGenerations = std::function<Subscription(std::function<void(std::int64_t)>)>;
    // Blocking; throws when the database cannot be read.
    using LoadReplies = std::function<std::vector<AwaitingReply>(
        const std::string& shadow, const std::string& contacts, int withinDays, int limit)>;
    using Completion = std::function<void(const std::vector<AwaitingReply>&)>;

    struct Seams {
        SyncGenerations syncGenerations;
        // Calls back after each contacts synchronisation that completes (not at once): names
        // come from the contacts database, which has no tables before the first one.
        std::function<Subscription(std::function<void()>)> contactsSynchronised;
        std::function<bool()> proactiveSurfacesEnabled;
        std::function<std::optional<DatabasePaths>()> databasePaths;
        std::function<bool(const std::string&)> fileExists;
        LoadReplies loadReplies;
        // Blocking, on the worker before each load: whether both databases hold what the list
        // is made of, the shadow database its messages and the contacts database a completed
        // synchronisation (before it, it has its tables but no names, and the list would be
        // empty). Until then the list is the empty stand-in, not a loaded list. Throws when a
        // database cannot be read. Absent: always ready.
        std::function<bool(const DatabasePaths&)> sourcesReady;
        Scheduler::Duration classificationDelay = std::chrono::seconds(45);
        std::function<void(const std::vector<AwaitingReply>&)> classifyReplies;
    };

    static constexpr int withinDays = 30;
    static constexpr int limit = 20;

    AwaitingReplyViewModel(Seams seams, AwaitingReadStore readStore, MainExecutor& main,
                           Executor& worker, Scheduler& scheduler = Scheduler::system());
    ~AwaitingReplyViewModel();
    AwaitingReplyViewModel(const AwaitingReplyViewModel&) = delete;
    AwaitingReplyViewModel& operator=(const AwaitingReplyViewModel&) = delete;

    Published<std::vector<AwaitingReply>>& replies() { return replies_; }
    Published<bool>& pendingFocus() { return pendingFocus_; }
    // Whether replies() holds a list loaded from the databases rather than the empty stand-in of
    // a switched-off feature or missing files.
    bool hasLoaded() const { return hasLoaded_; }

    // `completion` runs with the first list loaded successfully from this refresh on: a later
    // refresh that overtakes this one, or the next good load after a failed one, delivers it.
    // Never with a stand-in (the empty list of a switched-off feature or of missing files).
    void refresh(bool debounceClassification, Completion completion = {});
    void markAsRead(const AwaitingReply& reply);
    void markAllAsRead(const std::vector<AwaitingReply>& replies);

    NeedsReplyClassificationDebouncer& classificationDebouncer();

    // The application's seams: the switch in `defaults`, shadow.db and contacts.db in the
    // support directory, the query below, a 45-second debouncer.
    static Seams standardSeams(SyncGenerations syncGenerations, UserDefaults& defaults,
                               std::function<void(const std::vector<AwaitingReply>&)> classify);

    // The readiness test of the application: the shadow database has its message table and
    // the contacts store says a synchronisation completed.
    static bool sourcesReadyOnDisk(const DatabasePaths& paths);
    // The query of the application: a read-only ShadowSync over the shadow database.
    static std::vector<AwaitingReply> loadFromShadowDatabase(const std::string& shadow,
                                                             const std::string& contacts,
                                                             int withinDays, int limit);

  private:
    void publishEmpty();
    void applyLoaded(std::uint64_t generation, const std::vector<AwaitingReply>& loaded,
                     bool debounceClassification);

    Seams seams_;
    AwaitingReadStore readStore_;
    MainExecutor& main_;
    Executor& worker_;
    Scheduler& scheduler_;
    StructuredLogger logger_{"awaiting-reply"};
    Published<std::vector<AwaitingReply>> replies_;
    Published<bool> pendingFocus_{false};
    bool hasLoaded_ = false;
    DismissedThrough dismissedThrough_;
    std::uint64_t refreshGeneration_ = 0;
    // Completions still waiting for a successful load.
    std::vector<Completion> waitingForLoad_;
    std::unique_ptr<NeedsReplyClassificationDebouncer> debouncer_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    Subscription syncSubscription_;
    Subscription contactsSubscription_;
};

}  // namespace vask
