#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/manual_executor.h"
#include "proactive/awaiting_read_state.h"
#include "proactive/awaiting_reply_view_model.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"

namespace vask {
namespace {

AwaitingReply reply(const std::string& chatId, std::int64_t timestamp) {
    return {chatId, "Name " + chatId, "+1555", "text", timestamp, std::nullopt};
}

TEST(AwaitingReplyDisplayFilter, KeepsTheChosenWindow) {
    const std::int64_t now = 2000000000;
    AwaitingReply edge = reply("edge14", 0);
    edge.timestampUnix = now - 14 * 86400;
    AwaitingReply older = reply("older", 0);
    older.timestampUnix = now - 14 * 86400 - 1;
    // No Unix time: judged by the Messages-epoch timestamp.
    AwaitingReply converted = reply("converted", (now - 8 * 86400 - 978307200) * 1000000000LL);
    const std::vector<AwaitingReply> all = {edge, older, converted};
    struct Case {
        int days;
        std::vector<std::string> kept;
    };
    for (const auto& c : {Case{14, {"edge14", "converted"}}, Case{10, {}},
                          Case{30, {"edge14", "older", "converted"}}}) {
        SCOPED_TRACE(c.days);
        std::vector<std::string> ids;
        for (const auto& r : AwaitingReplyDisplayFilter::apply(all, c.days, now)) {
            ids.push_back(r.chatId);
        }
        EXPECT_EQ(ids, c.kept);
    }
}

TEST(AwaitingReadState, WatermarksOnlyRiseAndPersistAsOneObject) {
    InMemoryDefaults defaults;
    AwaitingReadStore store(defaults, "awaitingReply.dismissedThrough");
    DismissedThrough marks;
    AwaitingReplyReadPolicy::markAsRead({reply("c1", 50)}, marks);
    AwaitingReplyReadPolicy::markAsRead({reply("c1", 40)}, marks);
    EXPECT_EQ(marks.at("c1"), 50);
    store.save(marks);
    EXPECT_EQ(defaults.value("awaitingReply.dismissedThrough"), R"({"c1":50})");
    EXPECT_EQ(store.load(), marks);
    const auto visible = AwaitingReplyReadPolicy::unread({reply("c1", 50), reply("c1", 51)}, marks);
    ASSERT_EQ(visible.size(), 1u);
    EXPECT_EQ(visible[0].timestamp, 51);
    defaults.set("awaitingReply.dismissedThrough", "{not json");
    EXPECT_TRUE(store.load().empty());
}

class AwaitingReplyViewModelTest : public ::testing::Test {
  protected:
    std::unique_ptr<AwaitingReplyViewModel> make() {
        AwaitingReplyViewModel::Seams seams;
        seams.syncGenerations = [this](std::function<void(std::int64_t)> deliver) {
            deliverGeneration = std::move(deliver);
            deliverGeneration(0);
            return Subscription([] {});
        };
        seams.contactsSynchronised = [this](std::function<void()> synchronised) {
            contactsSynchronised = std::move(synchronised);
            return Subscription([] {});
        };
        seams.proactiveSurfacesEnabled = [this] { return enabled; };
        seams.databasePaths = [] {
            return std::optional<AwaitingReplyViewModel::DatabasePaths>({"shadow", "contacts"});
        };
        seams.fileExists = [this](const std::string&) { return filesExist; };
        seams.loadReplies = [this](const std::string&, const std::string&, int days, int limit) {
            ++loads;
            EXPECT_EQ(days, 30);
            EXPECT_EQ(limit, 20);
            if (failLoads) {
                throw std::runtime_error("database is locked");
            }
            return database;
        };
        seams.classifyReplies = [this](const std::vector<AwaitingReply>& r) {
            classified.push_back(r);
        };
        auto model = std::make_unique<AwaitingReplyViewModel>(
            std::move(seams), AwaitingReadStore(defaults, "dismissed"), main, worker, clock);
        publishes = model->replies().subscribe(
            [this](const std::vector<AwaitingReply>& r) { published.push_back(r); },
            Delivery::changesOnly);
        return model;
    }
    void settle() {
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }

    bool enabled = true;
    bool filesExist = true;
    bool failLoads = false;
    int loads = 0;
    std::vector<AwaitingReply> database = {reply("c1", 10), reply("c2", 20)};
    std::vector<std::vector<AwaitingReply>> published;
    std::vector<std::vector<AwaitingReply>> classified;
    std::function<void(std::int64_t)> deliverGeneration;
    std::function<void()> contactsSynchronised;
    Subscription publishes;
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    test::FakeClock clock;
};

TEST_F(AwaitingReplyViewModelTest, LoadsAtOnceAndAfterEverySynchronisation) {
    auto model = make();
    settle();
    EXPECT_EQ(model->replies().get(), database);
    EXPECT_EQ(classified.size(), 1u);  // leading run of the debouncer
    deliverGeneration(1);
    settle();
    EXPECT_EQ(loads, 2);
}

// The first load runs before the contacts database has its tables (no row can be named yet):
// the list must come once the contacts are in, not wait for the next message.
TEST_F(AwaitingReplyViewModelTest, ReloadsWhenAContactsSynchronisationCompletes) {
    const auto named = database;
    database = {};
    auto model = make();
    settle();
    EXPECT_TRUE(model->replies().get().empty());
    ASSERT_TRUE(contactsSynchronised);
    database = named;
    contactsSynchronised();
    settle();
    EXPECT_EQ(model->replies().get(), named);
    EXPECT_EQ(loads, 2);
}

TEST_F(AwaitingReplyViewModelTest, SwitchOffOrMissingFilesPublishEmptyWithoutQuery) {
    for (const bool off : {true, false}) {
        SCOPED_TRACE(off);
        enabled = !off;
        filesExist = off;
        loads = 0;
        auto model = make();
        std::optional<std::vector<AwaitingReply>> completed;
        model->refresh(false, [&](const std::vector<AwaitingReply>& r) { completed = r; });
        settle();
        EXPECT_EQ(loads, 0);
        EXPECT_EQ(completed, std::nullopt);  // an empty stand-in is no load
        EXPECT_TRUE(model->replies().get().empty());
    }
}

TEST_F(AwaitingReplyViewModelTest, FailedLoadKeepsTheLastGoodList) {
    test::LogCapture logs;
    auto model = make();
    settle();
    const auto publishedBefore = published.size();
    failLoads = true;
    std::optional<std::vector<AwaitingReply>> completed;
    model->refresh(true, [&](const std::vector<AwaitingReply>& r) { completed = r; });
    settle();
    EXPECT_EQ(published.size(), publishedBefore);
    EXPECT_EQ(model->replies().get(), database);
    EXPECT_EQ(completed, std::nullopt);
    EXPECT_EQ(logs->events("awaiting_reply_load_failed")[0].metadata.at("error"),
              "database is locked");
}

TEST_F(AwaitingReplyViewModelTest, OnlyTheLatestRefreshPublishes) {
    auto model = make();
    settle();
    published.clear();
    std::optional<std::vector<AwaitingReply>> firstCompletion;
    model->refresh(false, [&](const auto& r) { firstCompletion = r; });
    database = {reply("c3", 30)};
    model->refresh(false);
    worker.runUntilIdle();
    settle();
    EXPECT_EQ(published.size(), 1u);
    EXPECT_EQ(model->replies().get(), database);
    EXPECT_EQ(firstCompletion, database);  // completed by the refresh that overtook it
}

// Switching the feature on seeds the notifier with what a refresh's completion delivers: that
// must be a list really loaded after the switch, never the empty list published while it was
// off, or the next good list announces everything that was already waiting.
TEST_F(AwaitingReplyViewModelTest, CompletionsWaitForTheFirstGoodLoad) {
    struct Case {
        const char* name;
        std::function<void(AwaitingReplyViewModel&)> between;  // after the completing refresh
    };
    const std::vector<Case> cases = {
        {"overtaken by a synchronisation's refresh",
         [](AwaitingReplyViewModel& model) { model.refresh(true); }},
        {"load failed, then a later refresh succeeded",
         [this](AwaitingReplyViewModel& model) {
             settle();
             failLoads = false;
             model.refresh(true);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        enabled = false;
        failLoads = std::string_view(c.name).starts_with("load failed");
        auto model = make();
        settle();
        ASSERT_TRUE(model->replies().get().empty());
        enabled = true;
        std::vector<std::vector<AwaitingReply>> completions;
        model->refresh(false, [&](const auto& r) { completions.push_back(r); });
        c.between(*model);
        settle();
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0], database);
    }
}

TEST_F(AwaitingReplyViewModelTest, MarkedReadStaysHiddenUntilANewerMessage) {
    auto model = make();
    settle();
    model->markAsRead(reply("c1", 10));
    EXPECT_EQ(model->replies().get(), (std::vector<AwaitingReply>{reply("c2", 20)}));
    model->refresh(false);
    settle();
    EXPECT_EQ(model->replies().get(), (std::vector<AwaitingReply>{reply("c2", 20)}));
    database = {reply("c1", 11), reply("c2", 20)};
    model->markAllAsRead({reply("c2", 20)});
    model->refresh(false);
    settle();
    EXPECT_EQ(model->replies().get(), (std::vector<AwaitingReply>{reply("c1", 11)}));
    // A new view model (a restart) reads the same watermarks.
    auto restarted = make();
    settle();
    EXPECT_EQ(restarted->replies().get(), (std::vector<AwaitingReply>{reply("c1", 11)}));
}

}  // namespace
}  // namespace vask
