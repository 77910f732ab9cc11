#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "fake_notification_center.h"
#include "platform/manual_executor.h"
#include "platform/published.h"
#include "proactive/awaiting_reply_notifier.h"
#include "proactive/awaiting_reply_view_model.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using Replies = std::vector<AwaitingReply>;

class NotifierTest : public ::testing::Test {
  protected:
    NotifierTest() { clock.setWallTime(Clock::WallTime(std::chrono::seconds(now))); }

    // A conversation whose latest message arrived `waited` seconds ago.
    AwaitingReply waiting(const std::string& name, std::int64_t waited) const {
        const std::int64_t at = now - waited;
        return {"chat-" + name,
                name,
                "+1" + name,
                "message from " + name,
                (at - 978307200) * 1000000000LL,
                at};
    }

    std::unique_ptr<AwaitingReplyNotifier> make() {
        AwaitingReplyNotifier::Hooks hooks;
        hooks.subscribeReplies = [this](std::function<void(const Replies&)> deliver) {
            return list.subscribe(std::move(deliver));
        };
        hooks.hasSynced = [this] { return synced; };
        hooks.proactiveSurfacesEnabled = [this] { return enabled; };
        hooks.classify = [this](const Replies& candidates,
                                std::function<void(const AwaitingReplyNotifier::Verdicts&)> done) {
            classifiedCandidates += static_cast<int>(candidates.size());
            done(verdicts);
        };
        hooks.openMain = [this] { opened.push_back("main"); };
        hooks.focusAwaitingScreen = [this] { opened.push_back("awaiting"); };
        hooks.currentReplies = [this] { return list.get(); };
        hooks.showDays = [this](int days) { shownDays.push_back(days); };
        return std::make_unique<AwaitingReplyNotifier>(
            service, defaults, [](std::string_view key) { return std::string(key); },
            std::move(hooks), main, clock, clock);
    }

    void publish(Replies replies) {
        list.set(std::move(replies));
        main.runUntilIdle();
    }
    void pass(std::chrono::seconds by) {
        now += by.count();
        clock.advance(by);
        main.runUntilIdle();
    }
    std::vector<std::string> postedIDs() const {
        std::vector<std::string> ids;
        for (const auto& request : center.added) {
            ids.push_back(request.identifier);
        }
        return ids;
    }

    std::int64_t now = 1900000000;
    bool synced = true;
    bool enabled = true;
    AwaitingReplyNotifier::Verdicts verdicts;
    int classifiedCandidates = 0;
    std::vector<std::string> opened;
    std::vector<int> shownDays;
    test::FakeClock clock;
    ManualExecutor main;
    test::FakeNotificationCenter center;
    NotificationService service{center, main};
    InMemoryDefaults defaults;
    Published<Replies> list;
    test::LogCapture logs;
};

TEST_F(NotifierTest, FirstEvaluationOnlySeeds) {
    auto notifier = make();
    synced = false;
    list.set({waiting("ann", 9000)});
    notifier->start(std::nullopt, std::nullopt);
    main.runUntilIdle();
    EXPECT_FALSE(defaults.value("awaiting.notifier.seeded"));  // nothing synchronised yet
    synced = true;
    publish({waiting("ann", 9000), waiting("bob", 9000)});
    EXPECT_TRUE(center.added.empty());
    EXPECT_EQ(defaults.value("awaiting.notifier.seeded"), true);
    EXPECT_EQ(defaults.value("awaiting.notifier.storedChatIDs"),
              (nlohmann::json{"chat-ann", "chat-bob"}));
    EXPECT_EQ(logs->events("awaiting_notifier_seeded")[0].metadata.at("count"), "2");
}

TEST_F(NotifierTest, GraceIsSevenThousandTwoHundredSeconds) {
    struct Case {
        std::int64_t waited;
        bool announced;
    };
    for (const auto& c : {Case{7199, false}, Case{7200, true}}) {
        SCOPED_TRACE(c.waited);
        center.added.clear();
        list.set({});
        auto notifier = make();
        notifier->start(Replies{}, notifier->enableEpoch());
        publish({waiting("ann", c.waited)});
        EXPECT_EQ(center.added.size(), c.announced ? 1u : 0u);
        // A fresh conversation becomes due by the timer alone, without a new list.
        pass(900s);
        EXPECT_EQ(center.added.size(), 1u);
        pass(900s);
        publish({waiting("ann", c.waited + 1800)});
        EXPECT_EQ(center.added.size(), 1u);
        notifier->stop();
    }
}

TEST_F(NotifierTest, NeverAnnouncesTwiceAcrossChurnFailedLoadsAndRestart) {
    auto notifier = make();
    const auto ann = waiting("ann", 8000);
    const auto old = waiting("old", 99999);
    notifier->start(Replies{old}, notifier->enableEpoch());
    publish({ann, old});
    EXPECT_EQ(postedIDs(), (std::vector<std::string>{"awaiting-chat-ann"}));
    publish({old});  // Ann drops out of the top of the list
    publish({ann, old});
    pass(900s);  // a failed load publishes nothing: the timer sees the last good list
    notifier->stop();
    auto restarted = make();
    restarted->start(std::nullopt, std::nullopt);
    publish({ann, old});
    EXPECT_EQ(postedIDs(), (std::vector<std::string>{"awaiting-chat-ann"}));
    // A newer message from Ann is a new waiting episode.
    auto newer = ann;
    newer.timestamp += 1000000000LL;
    *newer.timestampUnix += 1;
    publish({newer, old});
    EXPECT_EQ(postedIDs(), (std::vector<std::string>{"awaiting-chat-ann", "awaiting-chat-ann"}));
}

TEST_F(NotifierTest, GateDropsOnlyExplicitNoVerdicts) {
    auto notifier = make();
    notifier->start(Replies{}, notifier->enableEpoch());
    verdicts = {{"chat-ann", false}};
    publish({waiting("ann", 8000)});
    EXPECT_TRUE(center.added.empty());
    EXPECT_EQ(logs->events("awaiting_notifier_gated_all")[0].metadata.at("candidates"), "1");
    publish({waiting("ann", 8000)});
    EXPECT_EQ(classifiedCandidates, 1);  // not retried
    verdicts = {};                       // classification failed: nobody is silenced
    publish({waiting("ann", 8000), waiting("bob", 8000), waiting("cat", 8000)});
    ASSERT_EQ(center.added.size(), 1u);
    EXPECT_EQ(center.added[0].title, "2 people are waiting on a reply");
}

TEST_F(NotifierTest, NotificationTexts) {
    struct Case {
        std::vector<std::string> names;
        UserNotificationRequest expected;
    };
    const Case cases[] = {
        {{"A"},
         {"awaiting-chat-A",
          "A is waiting on a reply",
          "message from A",
          {{"action", "open-awaiting"}, {"chatId", "chat-A"}, {"chatIds", R"(["chat-A"])"}}}},
        {{"A", "B"},
         {"awaiting-summary",
          "2 people are waiting on a reply",
          "A, B",
          {{"action", "open-awaiting"}, {"chatIds", R"(["chat-A","chat-B"])"}}}},
        {{"A", "B", "C", "D"},
         {"awaiting-summary",
          "4 people are waiting on a reply",
          "A, B, C, and 1 more",
          {{"action", "open-awaiting"}, {"chatIds", R"(["chat-A","chat-B","chat-C","chat-D"])"}}}},
        {{"A", "B", "C", "D", "E"},
         {"awaiting-summary",
          "5 people are waiting on a reply",
          "A, B, C, and 2 more",
          {{"action", "open-awaiting"},
           {"chatIds", R"(["chat-A","chat-B","chat-C","chat-D","chat-E"])"}}}},
    };
    for (const auto& c : cases) {
        center.added.clear();
        list.set({});
        auto notifier = make();
        notifier->start(Replies{}, notifier->enableEpoch());
        Replies replies;
        for (const auto& name : c.names) {
            replies.push_back(waiting(name, 7200));
        }
        publish(replies);
        ASSERT_EQ(center.added.size(), 1u);
        EXPECT_EQ(center.added[0], c.expected);
        notifier->stop();
    }
}

// The notifier works from a 30-day list and the screen opens on its own day window: a tap must
// open the screen on a window that shows every conversation the notification named.
TEST_F(NotifierTest, ATapOpensTheShortestWindowShowingEveryNamedConversation) {
    constexpr std::int64_t day = 86400;
    struct Case {
        const char* name;
        Replies announced;
        Replies listAtTap;  // what the screen will show
        std::vector<int> shownDays;
    };
    const auto ann = waiting("ann", 2 * day);
    const auto bob = waiting("bob", 10 * day);
    const auto cy = waiting("cy", 20 * day);
    const std::vector<Case> cases = {
        {"one recent conversation", {ann}, {ann, cy}, {7}},
        {"one and one of ten days", {ann, bob}, {ann, bob}, {14}},
        {"three reaching back twenty days", {ann, bob, cy}, {ann, bob, cy}, {30}},
        {"the older one read meanwhile", {ann, cy}, {ann}, {7}},
        {"every one read meanwhile", {bob}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        center.added.clear();
        opened.clear();
        shownDays.clear();
        list.set({});
        auto notifier = make();
        notifier->start(Replies{}, notifier->enableEpoch());
        publish(c.announced);
        ASSERT_EQ(center.added.size(), 1u);
        list.set(c.listAtTap);
        center.tapReceiver(center.added[0].userInfo);
        main.runUntilIdle();
        EXPECT_EQ(shownDays, c.shownDays);
        EXPECT_EQ(opened, (std::vector<std::string>{"main", "awaiting"}));
        notifier->stop();
    }
    // Routed at launch, before (or without) the notifier starting.
    shownDays.clear();
    auto notifier = make();
    service.tapHandlers.clear();
    notifier->routeTaps();
    list.set({ann, bob});
    center.tapReceiver({{"action", "open-awaiting"}, {"chatIds", R"(["chat-bob"])"}});
    main.runUntilIdle();
    EXPECT_EQ(shownDays, std::vector<int>{14});
}

TEST_F(NotifierTest, EpochSwitchAndAuthorisationStopStaleWork) {
    auto notifier = make();
    const int epoch = notifier->enableEpoch();
    notifier->stop();
    EXPECT_FALSE(logs->contains("awaiting_notifier_stopped"));
    notifier->start(Replies{waiting("ann", 10)}, epoch);
    EXPECT_FALSE(notifier->isStarted());
    EXPECT_FALSE(defaults.value("awaiting.notifier.seeded"));

    notifier->start(Replies{}, notifier->enableEpoch());
    notifier->start(Replies{waiting("ann", 8000)}, notifier->enableEpoch());  // already started
    center.status = NotificationAuthorizationStatus::denied;
    publish({waiting("ann", 8000)});
    EXPECT_TRUE(logs->contains("awaiting_notifier_unauthorized"));
    center.status = NotificationAuthorizationStatus::authorized;
    enabled = false;
    notifier->fireSampleNotification(1);
    main.runUntilIdle();
    EXPECT_TRUE(logs->contains("awaiting_notifier_suppressed_disabled"));
    EXPECT_TRUE(center.added.empty());

    enabled = true;
    notifier->fireSampleNotification(10);
    main.runUntilIdle();
    ASSERT_EQ(center.added.size(), 1u);
    EXPECT_EQ(center.added[0].title, "10 people are waiting on a reply");
    EXPECT_TRUE(center.added[0].body.ends_with(", and 7 more"));

    center.tapReceiver(center.added[0].userInfo);
    main.runUntilIdle();
    EXPECT_EQ(opened, (std::vector<std::string>{"main", "awaiting"}));
}

}  // namespace
}  // namespace vask

namespace vask {
namespace {

// The list and the notifier together, as the application wires them.
struct ListAndNotifier {
    static constexpr std::int64_t now = 1900000000;

    ListAndNotifier() {
        clock.setWallTime(Clock::WallTime(std::chrono::seconds(now)));
        AwaitingReplyViewModel::Seams seams;
        seams.syncGenerations = [](std::function<void(std::int64_t)>) {
            return Subscription([] {});
        };
        seams.proactiveSurfacesEnabled = [] { return true; };
        seams.databasePaths = [] {
            return std::optional<AwaitingReplyViewModel::DatabasePaths>({"shadow", "contacts"});
        };
        seams.fileExists = [this](const std::string& path) {
            return path != "contacts" || contactsExist;
        };
        seams.sourcesReady = [this](const AwaitingReplyViewModel::DatabasePaths&) {
            return contactsSynced;
        };
        seams.loadReplies = [this](const std::string&, const std::string&, int, int) {
            if (failing) {
                throw std::runtime_error("disk I/O error");
            }
            return rows;
        };
        seams.classifyReplies = [](const std::vector<AwaitingReply>&) {};
        list = std::make_shared<AwaitingReplyViewModel>(
            std::move(seams), AwaitingReadStore(defaults, "dismissed"), main, worker, clock);

        AwaitingReplyNotifier::Hooks hooks;
        hooks.subscribeReplies = [this](std::function<void(const Replies&)> deliver) {
            return list->replies().subscribe(std::move(deliver));
        };
        hooks.hasSynced = [] { return true; };
        hooks.listIsLoaded = [this] { return list->hasLoaded(); };
        hooks.proactiveSurfacesEnabled = [] { return true; };
        hooks.classify = [](const Replies&,
                            std::function<void(const AwaitingReplyNotifier::Verdicts&)> done) {
            done({});
        };
        notifier = std::make_unique<AwaitingReplyNotifier>(
            service, defaults, [](std::string_view key) { return std::string(key); }, hooks, main,
            clock, clock);
    }

    void sync() {
        list->refresh(true);
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }
    static AwaitingReply waiting(const std::string& name) {
        const std::int64_t at = now - 8000;
        return {
            "chat-" + name, name, "+1" + name, "are we on?", (at - 978307200) * 1000000000LL, at};
    }

    bool failing = false;
    bool contactsExist = true;
    bool contactsSynced = true;
    std::vector<AwaitingReply> rows;
    test::FakeClock clock;
    ManualExecutor main;
    ManualExecutor worker;
    test::FakeNotificationCenter center;
    NotificationService service{center, main};
    InMemoryDefaults defaults;
    std::shared_ptr<AwaitingReplyViewModel> list;
    std::unique_ptr<AwaitingReplyNotifier> notifier;
};

// A load that fails between two good ones must not make the notifier forget what it already
// announced.
TEST(AwaitingListAndNotifier, FailedLoadDoesNotAnnounceAgain) {
    ListAndNotifier f;
    f.notifier->start(Replies{}, f.notifier->enableEpoch());
    f.rows = {ListAndNotifier::waiting("ann")};
    f.sync();
    ASSERT_EQ(f.center.added.size(), 1u);
    f.failing = true;
    f.sync();
    f.failing = false;
    f.sync();
    EXPECT_EQ(f.center.added.size(), 1u);
}

// A launch with the feature on and nothing seeded yet, before the contacts database exists (the
// first contacts synchronisation has not run): the empty list shown meanwhile is no baseline, so
// the conversations already waiting when it appears are not announced.
TEST(AwaitingListAndNotifier, TheStandInBeforeTheContactsExistIsNoBaseline) {
    ListAndNotifier f;
    f.contactsExist = false;
    f.rows = {ListAndNotifier::waiting("ann"), ListAndNotifier::waiting("bob")};
    f.sync();
    f.notifier->start(std::nullopt, std::nullopt);
    f.main.runUntilIdle();
    f.contactsExist = true;
    f.sync();
    EXPECT_TRUE(f.center.added.empty());
    EXPECT_EQ(f.defaults.value("awaiting.notifier.storedChatIDs"),
              (nlohmann::json{"chat-ann", "chat-bob"}));
}

// The contacts database exists with its tables from the start, long before the first contacts
// synchronisation fills it; what is read from it meanwhile names no one and is no baseline,
// whether the feature was on at launch or is switched on before Contacts are enabled.
TEST(AwaitingListAndNotifier, ContactsNeverSynchronisedAreNoBaseline) {
    for (const bool enabledLater : {false, true}) {
        SCOPED_TRACE(enabledLater ? "switched on, then Contacts enabled" : "launch");
        ListAndNotifier f;
        f.contactsSynced = false;
        if (enabledLater) {
            const int epoch = f.notifier->enableEpoch();
            f.list->refresh(false,
                            [&f, epoch](const Replies& list) { f.notifier->start(list, epoch); });
        } else {
            f.notifier->start(std::nullopt, std::nullopt);
        }
        f.sync();
        EXPECT_FALSE(f.defaults.value("awaiting.notifier.seeded").has_value());

        f.contactsSynced = true;
        f.rows = {ListAndNotifier::waiting("ann"), ListAndNotifier::waiting("bob")};
        f.sync();
        EXPECT_TRUE(f.center.added.empty());
        EXPECT_TRUE(f.notifier->isStarted());

        f.rows.push_back(ListAndNotifier::waiting("cy"));
        f.sync();
        ASSERT_EQ(f.center.added.size(), 1u);
        EXPECT_EQ(f.center.added[0].title, "cy is waiting on a reply");
    }
}

}  // namespace
}  // namespace vask
