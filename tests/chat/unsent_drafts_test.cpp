// What the user typed and did not send, against a model, over generated sequences of typing,
// sending, switching, new chats, deletions, "Catch me up" and hand-overs from the popover
// (RapidCheck): each chat's text comes back with it, whatever was done elsewhere, and goes only
// with the chat the user deleted; the popover's composer keeps its text when its chat goes.
#include <rapidcheck.h>
#include <rapidcheck/state.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "chat/unsent_drafts.h"
#include "chat_fixture.h"
#include "support/property_check.h"

namespace vask {
namespace {

using Left = UnsentDrafts::Left;

// The type alone: each way of leaving a chat, and what the chat shown next brings back.
TEST(UnsentDraftsTest, EachWayOfLeavingKeepsWhatWasTypedWhereItWasTyped) {
    struct Case {
        const char* name;
        Left how;
        // Kept for the chat shown next before the move.
        std::string keptForNext;
        std::string composerAfter;
        // What the chat left brings back when shown again.
        std::string leftBringsBack;
    };
    const Case cases[] = {
        {"kept, to a chat with none", Left::kept, "", "", "typed"},
        {"kept, to a chat with its own", Left::kept, "its own", "its own", "typed"},
        {"deleted, to a chat with its own", Left::deleted, "its own", "its own", ""},
        {"deleted, to a chat with none", Left::deleted, "", "", ""},
        {"went from the composer, to a new chat", Left::wentFromComposer, "", "typed", ""},
        {"went from the composer, to a chat with its own", Left::wentFromComposer, "its own",
         "its own\ntyped", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UnsentDrafts drafts;
        if (!c.keptForNext.empty()) {
            EXPECT_EQ(drafts.move("next", Left::kept, c.keptForNext, "other"), "");
        }
        EXPECT_EQ(drafts.move("left", c.how, "typed", "next"), c.composerAfter);
        EXPECT_FALSE(drafts.keeps("next")) << "the chat shown holds its text in the composer";
        EXPECT_EQ(drafts.keeps("left"), !c.leftBringsBack.empty());
        EXPECT_EQ(drafts.move("next", Left::kept, "", "left"), c.leftBringsBack);
    }
    UnsentDrafts drafts;
    drafts.move("a", Left::kept, "in a", "b");
    EXPECT_EQ(drafts.move("b", Left::kept, "in b", "b"), "in b") << "staying moves nothing";
    drafts.drop("a");
    EXPECT_EQ(drafts.move("b", Left::kept, "", "a"), "");
}

// Nothing is needed of the model to generate: the system keeps the reference.
struct Nothing {};

// Both chats over fakes, and what the user typed in each chat, which the model says each shows.
struct DraftSystem {
    DraftSystem(const std::function<std::shared_ptr<ChatViewModel>(bool persists)>& make,
                std::function<void()> drain)
        : settle(std::move(drain)), main(make(true)), popover(make(false)) {}

    // Each chat of the main window by its place in the list.
    std::string chatAt(int place) const {
        const auto& list = main->sessions.get();
        return list[static_cast<std::size_t>(place) % list.size()]->id;
    }
    std::string typedIn(const std::string& id) const {
        const auto found = drafts.find(id);
        return found == drafts.end() ? std::string() : found->second;
    }
    // Each chat shows what was typed in it, whichever was shown meanwhile, and the popover's
    // composer its own; the chat shown stays shown.
    void check() {
        RC_ASSERT(popover->inputText.get() == popoverTyped);
        const std::string shown = main->currentSessionID.get();
        RC_ASSERT(main->inputText.get() == typedIn(shown));
        // A chat typed in is never dropped but by its deletion.
        for (const auto& entry : drafts) {
            const auto& list = main->sessions.get();
            RC_ASSERT(entry.second.empty() ||
                      std::any_of(list.begin(), list.end(),
                                  [&](const auto& s) { return s->id == entry.first; }));
        }
        for (const auto& session : main->sessions.get()) {
            main->switchSession(session->id);
            RC_ASSERT(main->inputText.get() == typedIn(session->id));
        }
        main->switchSession(shown);
        RC_ASSERT(main->currentSessionID.get() == shown);
        RC_ASSERT(main->inputText.get() == typedIn(shown));
    }

    std::function<void()> settle;
    std::shared_ptr<ChatViewModel> main;
    std::shared_ptr<ChatViewModel> popover;
    std::map<std::string, std::string> drafts;
    std::string popoverTyped;
    int texts = 0;
};

using DraftCommand = rc::state::Command<Nothing, DraftSystem>;

struct Type final : DraftCommand {
    bool clear = *rc::gen::weightedOneOf<bool>({{1, rc::gen::just(true)}, {4, rc::gen::just(false)}});
    void run(const Nothing&, DraftSystem& s) const override {
        const std::string text = clear ? "" : "typed " + std::to_string(++s.texts);
        s.main->inputText.set(text);
        s.drafts[s.main->currentSessionID.get()] = text;
        s.check();
    }
    void show(std::ostream& os) const override { os << (clear ? "Clear" : "Type"); }
};

struct Send final : DraftCommand {
    void run(const Nothing&, DraftSystem& s) const override {
        const std::string shown = s.main->currentSessionID.get();
        const bool sends = !s.typedIn(shown).empty();
        s.main->send();
        s.settle();
        if (sends) {
            s.drafts[shown] = "";
        }
        s.check();
    }
    void show(std::ostream& os) const override { os << "Send"; }
};

struct Switch final : DraftCommand {
    int place = *rc::gen::inRange(0, 6);
    void run(const Nothing&, DraftSystem& s) const override {
        s.main->switchSession(s.chatAt(place));
        s.check();
    }
    void show(std::ostream& os) const override { os << "Switch(" << place << ")"; }
};

struct NewChat final : DraftCommand {
    void run(const Nothing&, DraftSystem& s) const override {
        s.main->startNewSession();
        s.check();
    }
    void show(std::ostream& os) const override { os << "NewChat"; }
};

struct Delete final : DraftCommand {
    // The chat shown, or the one at `place`.
    bool shown = *rc::gen::arbitrary<bool>();
    int place = *rc::gen::inRange(0, 6);
    void run(const Nothing&, DraftSystem& s) const override {
        const std::string id = shown ? s.main->currentSessionID.get() : s.chatAt(place);
        s.main->deleteSession(id);
        s.settle();
        s.drafts.erase(id);
        s.check();
    }
    void show(std::ostream& os) const override {
        if (shown) {
            os << "DeleteShown";
        } else {
            os << "Delete(" << place << ")";
        }
    }
};

struct CatchUp final : DraftCommand {
    void run(const Nothing&, DraftSystem& s) const override {
        const std::string before = s.main->currentSessionID.get();
        const bool asked = s.main->askInNewSession("Catch me up " + std::to_string(++s.texts));
        s.settle();
        RC_ASSERT(asked);
        // A chat of its own, with nothing typed in it.
        RC_ASSERT(s.typedIn(s.main->currentSessionID.get()).empty());
        RC_ASSERT(s.typedIn(before).empty() || s.main->currentSessionID.get() != before);
        s.check();
    }
    void show(std::ostream& os) const override { os << "CatchUp"; }
};

struct PopoverType final : DraftCommand {
    void run(const Nothing&, DraftSystem& s) const override {
        s.popoverTyped = "in the popover " + std::to_string(++s.texts);
        s.popover->inputText.set(s.popoverTyped);
        s.check();
    }
    void show(std::ostream& os) const override { os << "PopoverType"; }
};

// A question answered in the popover, then its chat opened in the main window.
struct HandOver final : DraftCommand {
    void run(const Nothing&, DraftSystem& s) const override {
        const auto question = test::message(ChatRole::user, "asked in the popover");
        s.popover->commitTurn(question, Uuid::random(), "an answer", false, std::nullopt, {},
                              std::nullopt, s.popover->currentSessionID.get());
        const std::string handed = s.popover->currentSessionID.get();
        s.popover->handOffCurrentSession(s.main);
        s.settle();
        RC_ASSERT(s.main->currentSessionID.get() == handed);
        s.check();
    }
    void show(std::ostream& os) const override { os << "HandOver"; }
};

struct PopoverNewChat final : DraftCommand {
    void run(const Nothing&, DraftSystem& s) const override {
        const auto question = test::message(ChatRole::user, "asked in the popover");
        s.popover->commitTurn(question, Uuid::random(), "an answer", false, std::nullopt, {},
                              std::nullopt, s.popover->currentSessionID.get());
        s.popover->startNewSession();
        s.check();
    }
    void show(std::ostream& os) const override { os << "PopoverNewChat"; }
};

class UnsentDraftsModelTest : public test::ChatFixture {};

TEST_F(UnsentDraftsModelTest, EveryGeneratedSequenceLeavesEachChatItsOwnText) {
    test::checkProperty("UnsentDraftsModelTest/EveryGeneratedSequenceLeavesEachChatItsOwnText",
                        300, 40, [&] {
                            DraftSystem system(
                                [&](bool persists) { return makeModel(persists); },
                                [&] { settle(); });
                            rc::state::check(
                                Nothing{}, system,
                                rc::state::gen::execOneOfWithArgs<Type, Send, Switch, NewChat,
                                                                  Delete, CatchUp, PopoverType,
                                                                  HandOver, PopoverNewChat>());
                        });
}

}  // namespace
}  // namespace vask
