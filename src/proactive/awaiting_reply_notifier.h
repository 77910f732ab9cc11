#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/clock.h"
#include "platform/executor.h"
#include "platform/scheduler.h"
#include "platform/subscription.h"
#include "platform/user_defaults.h"
#include "proactive/awaiting_reply_policy.h"
#include "proactive/needs_reply_classifier.h"
#include "proactive/notification_service.h"
#include "store/awaiting_reply.h"

namespace vask {

// The shape of one notification about waiting conversations.
struct AwaitingNotification {
    struct Personal {
        std::string chatId;
        std::string contactName;
        std::string message;
        bool operator==(const Personal&) const = default;
    };
    struct Summary {
        int count = 0;
        std::vector<std::string> names;    // at most the first three
        std::vector<std::string> chatIds;  // every conversation counted
        bool operator==(const Summary&) const = default;
    };
    std::variant<Personal, Summary> value;

    bool operator==(const AwaitingNotification&) const = default;
};

// Tells the user once about each conversation whose latest message has waited two hours for a
// reply: watches the awaiting list, never announces what was waiting when the feature was
// switched on, drops what the needs-reply classification says needs no reply, and posts one
// personal or one summary notification. Main executor only.
class AwaitingReplyNotifier {
  public:
    using Replies = std::vector<AwaitingReply>;
    using Verdicts = NeedsReplyClassifier::Verdicts;

    struct Hooks {
        // Delivers the current list at once and every later one.
        std::function<Subscription(std::function<void(const Replies&)>)> subscribeReplies;
        std::function<bool()> hasSynced;
        // Whether the list delivered was really loaded, not the empty stand-in shown while files
        // are missing: seeding from a stand-in would announce everything already waiting once
        // the real list arrives. Absent: every list counts.
        std::function<bool()> listIsLoaded;
        std::function<bool()> proactiveSurfacesEnabled;
        std::function<void(const Replies&, std::function<void(const Verdicts&)>)> classify;
        // Shows the main window, then asks it for the awaiting screen.
        std::function<void()> openMain;
        std::function<void()> focusAwaitingScreen;
        // The awaiting list as it is now, and the day window the screen is to show.
        std::function<Replies()> currentReplies;
        std::function<void(int days)> showDays;
    };

    static constexpr std::int64_t graceSeconds = 7200;
    static constexpr std::chrono::seconds evaluationInterval{900};
    static constexpr const char* openAwaitingAction = "open-awaiting";
    // User-info key: a JSON array of the chat ids the notification is about.
    static constexpr const char* chatIdsKey = "chatIds";
    static constexpr const char* seededKeyBase = "awaiting.notifier.seeded";
    static constexpr const char* storedIDsKeyBase = "awaiting.notifier.storedChatIDs";
    static constexpr const char* storedTimestampsKeyBase = "awaiting.notifier.storedChatTimestamps";

    // `scopeKey` turns a key into its instance-scoped form.
    AwaitingReplyNotifier(NotificationService& service, UserDefaults& defaults,
                          std::function<std::string(std::string_view)> scopeKey, Hooks hooks,
                          MainExecutor& main, const Clock& clock = Clock::system(),
                          Scheduler& scheduler = Scheduler::system());
    ~AwaitingReplyNotifier();
    AwaitingReplyNotifier(const AwaitingReplyNotifier&) = delete;
    AwaitingReplyNotifier& operator=(const AwaitingReplyNotifier&) = delete;

    // `baseline`: the list at the moment the user switched the feature on. `epoch`: the
    // enableEpoch() read before that list was loaded; a stop() since then makes this a no-op.
    void start(const std::optional<Replies>& baseline, std::optional<int> epoch);
    void stop();
    // Routes taps on this run's notifications to the awaiting screen, opened on the shortest
    // day window that shows every conversation the notification named. start() does this too;
    // the application does it at launch, so a notification posted before the feature was
    // switched off still opens the screen.
    void routeTaps();
    int enableEpoch() const { return enableEpoch_; }
    bool isStarted() const { return started_; }

    // Test hook: posts a sample without detection or gating.
    void fireSampleNotification(int count);

    static AwaitingNotification shape(const Replies& candidates);

  private:
    void evaluate(const Replies& replies);
    void gateAndPost(const Replies& candidates, int epoch);
    void post(const AwaitingNotification& notification, int epoch);
    bool stillEnabled(int epoch) const;
    void persistKnown();
    std::int64_t nowUnix() const;

    NotificationService& service_;
    UserDefaults& defaults_;
    Hooks hooks_;
    MainExecutor& main_;
    const Clock& clock_;
    Scheduler& scheduler_;
    StructuredLogger logger_{"awaiting-notifier"};
    std::string seededKey_;
    std::string storedIDsKey_;
    std::string storedTimestampsKey_;
    KnownConversations known_;
    bool hasSeeded_ = false;
    Replies latestReplies_;
    bool started_ = false;
    int enableEpoch_ = 0;
    Subscription repliesSubscription_;
    ScheduledTask timer_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vask
