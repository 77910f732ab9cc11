#include <gtest/gtest.h>

#include "platform/manual_executor.h"
#include "proactive/awaiting_screen_presenter.h"
#include "proactive/awaiting_stand_ins.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/recording_opener.h"

namespace vask {
namespace {

constexpr std::int64_t now = 1800000000;

AwaitingReply waiting(const std::string& chatId, std::int64_t ageSeconds, std::int64_t timestamp) {
    return {chatId, "Name " + chatId, "+1555" + chatId, "hey", timestamp, now - ageSeconds};
}

using test::RecordingOpener;

struct RecordingClipboard final : Clipboard {
    void setText(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

class AwaitingScreenPresenterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Nothing on the desktop handles the Messages link unless a test says so.
        opener.opens = false;
        defaults.set(ProactiveSurfaces::enabledKey(), true);
        defaults.set(PersonaDrafts::enabledKey(), false);
    }

    std::unique_ptr<AwaitingScreenPresenter> make(std::vector<AwaitingReply> list) {
        stage = std::make_unique<stand_in::AwaitingStage>(std::move(list), defaults, main, worker,
                                                          clock);
        stage->days = days;
        stage->now = now;
        stage->messagesAppPresent = messagesApp;
        viewModel = stage->viewModel;
        needsReply = stage->needsReply;
        settle();
        ReplyDrafts::Seams seams;
        seams.personaDraftsEnabled = [] { return false; };
        seams.complete = [this](const CorvaneResponses::Request&) { return answer; };
        return std::make_unique<AwaitingScreenPresenter>(
            stage->dependencies(opener, clipboard, std::move(seams)));
    }
    void settle() {
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }
    static std::vector<std::string> ids(const AwaitingScreenContent& content) {
        std::vector<std::string> out;
        for (const auto& row : content.rows) {
            out.push_back(row.reply.chatId);
        }
        return out;
    }

    int days = 7;
    bool messagesApp = false;
    std::optional<std::string> answer = "On my way";
    RecordingOpener opener;
    RecordingClipboard clipboard;
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    test::FakeClock clock;
    std::unique_ptr<stand_in::AwaitingStage> stage;
    std::shared_ptr<AwaitingReplyViewModel> viewModel;
    std::shared_ptr<NeedsReplyService> needsReply;
    test::LogCapture logs;
};

TEST_F(AwaitingScreenPresenterTest, DayWindowDrivesListToolbarAndPlaceholder) {
    struct Case {
        const char* name;
        std::vector<AwaitingReply> list;
        int days;
        std::vector<std::string> rows;
        std::string placeholder;
        bool dayMenu;
        bool markAll;
        std::string menuLabel;
        std::vector<bool> checks;
    };
    const auto old = waiting("old", 10 * 86400, 1);
    const auto fresh = waiting("fresh", 300, 2);
    const Case cases[] = {
        {"empty",
         {},
         7,
         {},
         "No one's waiting on a reply from you right now.",
         false,
         false,
         "Last 7 days",
         {true, false, false}},
        {"all older than the window",
         {old},
         7,
         {},
         "No one has been waiting in the last 7 days.",
         true,
         false,
         "Last 7 days",
         {true, false, false}},
        {"wider window shows it",
         {old, fresh},
         14,
         {"fresh", "old"},
         "",
         true,
         true,
         "Last 14 days",
         {false, true, false}},
        {"10 is not a choice: 7",
         {old},
         10,
         {},
         "No one has been waiting in the last 7 days.",
         true,
         false,
         "Last 7 days",
         {true, false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        days = c.days;
        auto presenter = make(c.list);
        const auto content = presenter->content();
        EXPECT_EQ(ids(content), c.rows);
        if (c.rows.empty()) {
            EXPECT_EQ(content.placeholderDescription, c.placeholder);
        }
        EXPECT_EQ(content.showsDayMenu, c.dayMenu);
        EXPECT_EQ(content.showsMarkAllAsRead, c.markAll);
        EXPECT_EQ(content.dayMenuLabel, c.menuLabel);
        EXPECT_EQ(content.dayMenuHelp, "Show conversations from the last " + c.menuLabel.substr(5));
        std::vector<bool> checks;
        for (const auto& choice : content.dayChoices) {
            checks.push_back(choice.checked);
        }
        EXPECT_EQ(checks, c.checks);
    }
}

TEST_F(AwaitingScreenPresenterTest, NeedsReplyFirstThenNewestFirstWithStableTies) {
    auto presenter = make({waiting("a-marked-3d", 3 * 86400, 100), waiting("b-plain-5m", 300, 900),
                           waiting("c-unjudged", 600, 800), waiting("d-marked-1h", 3600, 500),
                           waiting("e-tie", 700, 800)});
    needsReply->verdicts().set(
        {{"a-marked-3d", true}, {"b-plain-5m", false}, {"d-marked-1h", true}});
    const auto content = presenter->content();
    EXPECT_EQ(ids(content), (std::vector<std::string>{"d-marked-1h", "a-marked-3d", "b-plain-5m",
                                                      "c-unjudged", "e-tie"}));
    EXPECT_TRUE(content.rows[0].needsReply);
    EXPECT_FALSE(content.rows[3].needsReply);
    EXPECT_EQ(content.rows[1].age, "3d ago");
}

// A verdict that arrives while the user points at the list moves no row under the pointer;
// rows that leave go, newcomers go below, and the order comes back once the hold ends.
TEST_F(AwaitingScreenPresenterTest, HeldRowsStayWhereTheyAreUntilReleased) {
    auto presenter =
        make({waiting("maya", 60, 3), waiting("mom", 120, 2), waiting("hana", 180, 1)});
    int changes = 0;
    const auto observed = presenter->observe([&changes] { ++changes; });
    const std::vector<std::string> shown{"maya", "mom", "hana"};
    ASSERT_EQ(ids(presenter->content()), shown);

    presenter->holdOrder(true);
    needsReply->verdicts().set({{"hana", true}});
    EXPECT_EQ(ids(presenter->content()), shown);
    EXPECT_TRUE(presenter->content().rows[2].needsReply);
    viewModel->markAsRead(viewModel->replies().get()[1]);
    EXPECT_EQ(ids(presenter->content()), (std::vector<std::string>{"maya", "hana"}));

    changes = 0;
    presenter->holdOrder(false);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(ids(presenter->content()), (std::vector<std::string>{"hana", "maya"}));

    std::vector<std::string> kept;
    for (const auto& reply : AwaitingScreenPresenter::inShownOrder(
             {waiting("new", 1, 9), waiting("b", 2, 8), waiting("a", 3, 7)}, {"a", "gone", "b"})) {
        kept.push_back(reply.chatId);
    }
    EXPECT_EQ(kept, (std::vector<std::string>{"a", "b", "new"}));
}

TEST_F(AwaitingScreenPresenterTest, MarkingAsReadLeavesOlderConversationsAndTheDraft) {
    auto presenter =
        make({waiting("old", 10 * 86400, 1), waiting("new1", 60, 2), waiting("new2", 120, 3)});
    presenter->drafts().startDraft(viewModel->replies().get()[1]);
    presenter->markAsRead(viewModel->replies().get()[1]);
    EXPECT_EQ(ids(presenter->content()), std::vector<std::string>{"new2"});
    EXPECT_TRUE(presenter->drafts().draft().get());  // the draft outlives its hidden row
    presenter->markAllAsRead();
    ASSERT_EQ(logs->events("awaiting_reply_mark_all_read").size(), 1u);
    EXPECT_EQ(logs->events("awaiting_reply_mark_all_read")[0].metadata.at("count"), "1");
    EXPECT_TRUE(presenter->content().rows.empty());
    presenter->chooseDayWindow(14);
    EXPECT_EQ(ids(presenter->content()), std::vector<std::string>{"old"});
}

TEST_F(AwaitingScreenPresenterTest, RowActionsCatchUpAndReveal) {
    auto presenter = make({waiting("c1", 60, 1)});
    const auto reply = viewModel->replies().get()[0];
    presenter->catchUp(reply);
    EXPECT_EQ(stage->caughtUp, std::vector<std::string>{"c1"});
    EXPECT_TRUE(logs->contains("awaiting_reply_catch_up"));
    // Where a Messages application answers the link, Reveal opens the conversation there.
    messagesApp = true;
    presenter = make({waiting("c1", 60, 1)});
    EXPECT_TRUE(presenter->offersReveal());
    presenter->reveal(reply);
    presenter->openInMessages("");
    EXPECT_EQ(opener.urls, std::vector<std::string>{"imessage:?addresses=+1555c1"});
    EXPECT_TRUE(logs->contains("awaiting_reply_reveal"));
    EXPECT_TRUE(logs->contains("awaiting_reply_reveal_failed"));
    EXPECT_FALSE(logs->mentions("+1555c1"));
}

// Linux: no Messages application answers the link, so Reveal is not offered and, reached all
// the same, opens nothing.
TEST_F(AwaitingScreenPresenterTest, WithoutAMessagesApplicationRevealIsNotOffered) {
    auto presenter = make({waiting("c1", 60, 1)});
    EXPECT_FALSE(presenter->offersReveal());
    presenter->reveal(viewModel->replies().get()[0]);
    EXPECT_TRUE(opener.urls.empty());
    EXPECT_TRUE(logs->contains("awaiting_reply_reveal_unavailable"));
}

TEST_F(AwaitingScreenPresenterTest, DraftEditorUnderItsRowAndSendCopiesAndOpens) {
    auto presenter = make({waiting("c1", 60, 1), waiting("c2", 120, 2)});
    const auto c1 = viewModel->replies().get()[0];
    ASSERT_EQ(c1.chatId, "c1");
    int changes = 0;
    auto observing = presenter->observe([&] { ++changes; });
    presenter->drafts().startDraft(c1);
    auto content = presenter->content();
    ASSERT_TRUE(content.rows[1].editor);
    EXPECT_FALSE(content.rows[0].editor);
    EXPECT_TRUE(content.rows[1].editor->isLoading);
    EXPECT_EQ(content.rows[1].editor->loadingCaption, "Drafting a reply\xE2\x80\xA6");
    EXPECT_FALSE(content.rows[1].editor->sendEnabled);
    settle();
    content = presenter->content();
    EXPECT_EQ(content.rows[1].editor->text, "On my way");
    EXPECT_EQ(content.rows[1].editor->tooltip, "");  // generic: no footnote
    EXPECT_TRUE(content.rows[1].editor->sendEnabled);
    EXPECT_GE(changes, 2);

    // No Messages application: the action copies and opens nothing.
    EXPECT_EQ(content.sendLabel, "Copy Reply");
    presenter->drafts().send(c1);
    EXPECT_EQ(clipboard.texts, std::vector<std::string>{"On my way"});
    EXPECT_TRUE(opener.urls.empty());
    EXPECT_TRUE(logs->contains("draft_copied"));
    // The row says the draft was copied and keeps it.
    content = presenter->content();
    ASSERT_TRUE(content.rows[1].editor);
    EXPECT_EQ(content.rows[1].editor->notice, "Copied");
    EXPECT_EQ(content.rows[1].editor->text, "On my way");
    EXPECT_FALSE(content.rows[1].editor->status);
    EXPECT_FALSE(content.openFailure);
    // Answered: the conversation leaves the list, and the copied draft with it.
    viewModel->replies().set({viewModel->replies().get()[1]});
    EXPECT_FALSE(presenter->drafts().draft().get());
}

// Where Messages answers the link, the draft's action opens the conversation too, and an opener
// that fails is said on the screen.
TEST_F(AwaitingScreenPresenterTest, SendInMessagesSaysWhenTheConversationDidNotOpen) {
    messagesApp = true;
    auto presenter = make({waiting("c1", 60, 1)});
    const auto c1 = viewModel->replies().get()[0];
    presenter->drafts().startDraft(c1);
    settle();
    auto content = presenter->content();
    EXPECT_EQ(content.sendLabel, "Send in Messages");
    int changes = 0;
    auto observing = presenter->observe([&] { ++changes; });
    presenter->drafts().send(c1);
    EXPECT_EQ(clipboard.texts, std::vector<std::string>{"On my way"});
    EXPECT_EQ(opener.urls, std::vector<std::string>{"imessage:?addresses=+1555c1"});
    settle();
    content = presenter->content();
    EXPECT_EQ(content.rows[0].editor->notice, "Copied");
    EXPECT_EQ(content.openFailure, "Couldn't open the conversation in Messages (nothing on the "
                                   "desktop opens it).");
    EXPECT_GE(changes, 2);
    EXPECT_TRUE(logs->contains("awaiting_reply_reveal_failed"));
    EXPECT_FALSE(logs->mentions("+1555c1"));
    // A verdict that comes after the screen went changes nothing.
    opener.opens = true;
    presenter->reveal(c1);
    EXPECT_FALSE(presenter->content().openFailure);
    opener.opens = false;
    presenter->reveal(c1);
    presenter.reset();
    settle();
}

TEST_F(AwaitingScreenPresenterTest, DraftButtonFollowsBothSettings) {
    auto presenter = make({waiting("c1", 60, 1)});
    struct Case {
        bool surfaces;
        std::optional<bool> persona;
        std::string label;
    };
    for (const auto& c : {Case{true, true, "Draft in your voice"},
                          Case{true, false, "Draft a reply"}, Case{false, true, "Draft a reply"}}) {
        defaults.set(ProactiveSurfaces::enabledKey(), c.surfaces);
        if (c.persona) {
            defaults.set(PersonaDrafts::enabledKey(), *c.persona);
        }
        EXPECT_EQ(presenter->content().draftLabel, c.label);
    }
}

TEST(AwaitingScreenText, InitialsAgesFootnotesAndAddresses) {
    struct InitialsCase {
        std::string name;
        std::string initials;
    };
    for (const auto& c :
         {InitialsCase{"river stone oak", "RS"}, InitialsCase{"ada", "A"},
          InitialsCase{"  mary   ann  ", "MA"}, InitialsCase{"jo\tanne", "J"}, InitialsCase{"", ""},
          InitialsCase{"\xC3\xA9lise \xC3\xB6z", "\xC3\x89\xC3\x96"},
          InitialsCase{"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD fan",
                       "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"
                       "F"}}) {
        EXPECT_EQ(AwaitingScreenPresenter::initials(c.name), c.initials) << c.name;
    }
    struct AgeCase {
        std::int64_t delta;
        std::string label;
    };
    for (const auto& c : {AgeCase{-50, "1m ago"}, AgeCase{0, "1m ago"}, AgeCase{119, "1m ago"},
                          AgeCase{3599, "59m ago"}, AgeCase{3600, "1h ago"},
                          AgeCase{86399, "23h ago"}, AgeCase{86400, "1d ago"}}) {
        EXPECT_EQ(AwaitingScreenPresenter::relativeAge(now - c.delta, now), c.label) << c.delta;
    }
    using Footnote = std::optional<std::string>;
    EXPECT_EQ(AwaitingScreenPresenter::personaFootnote("persona", "Ann"),
              Footnote("Sounds like you \xE2\x80\x94 from your texts with Ann"));
    EXPECT_EQ(AwaitingScreenPresenter::personaFootnote("global-only", "Ann"),
              Footnote("Sounds like you \xE2\x80\x94 from your recent texts"));
    for (const Footnote& tier : {Footnote("context-only"), Footnote("generic"), Footnote()}) {
        EXPECT_FALSE(AwaitingScreenPresenter::personaFootnote(tier, "Ann"));
    }
    struct UrlCase {
        std::string handle;
        std::optional<std::string> url;
    };
    for (const auto& c : {UrlCase{"+15551234", "imessage:?addresses=+15551234"},
                          UrlCase{"ann@example.com", "imessage:?addresses=ann@example.com"},
                          UrlCase{"a&b=c d#", "imessage:?addresses=a%26b%3Dc%20d%23"},
                          UrlCase{" ", std::nullopt}}) {
        EXPECT_EQ(AwaitingScreenPresenter::messagesURL(c.handle), c.url) << c.handle;
    }
}

}  // namespace
}  // namespace vask
