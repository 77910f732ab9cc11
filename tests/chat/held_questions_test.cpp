#include "chat/held_questions.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace vask {
namespace {

HeldQuestions::Held held(const std::string& text, const std::string& session,
                         std::uint64_t account) {
    ChatMessage question;
    question.id = Uuid::random();
    question.role = ChatRole::user;
    question.text = text;
    return {question, session, account};
}

std::vector<std::string> texts(const std::vector<HeldQuestions::Held>& list) {
    std::vector<std::string> out;
    for (const auto& each : list) {
        out.push_back(each.question.text);
    }
    return out;
}

// What an unlock that ends unanswered leaves held, and what a sign-out, a sign-in or a chat's
// move takes out: each question in one place, asked at most once, under its own account.
TEST(HeldQuestionsTest, HeldQuestionsFollowTheirUnlockTheirAccountAndTheirChat) {
    struct Case {
        const char* name;
        std::function<std::vector<std::string>(HeldQuestions&)> steps;
        std::vector<std::string> expected;
    };
    const auto a1 = held("a1", "chat-a", 1);
    const auto b1 = held("b1", "chat-b", 1);
    const auto a2 = held("a2", "chat-a", 2);
    const Case cases[] = {
        {"an unanswered unlock keeps them for the next, once each",
         [&](HeldQuestions& h) {
             h.startWaiting();
             h.hold(a1);
             h.hold(b1);
             h.unlockAnswered(false);
             h.startWaiting();
             // The row Unlock is pressed on is one of those kept: held once, not twice.
             h.hold(a1);
             return texts(h.letGo());
         },
         {"a1", "b1"}},
        {"a kept question held again keeps its account",
         [&](HeldQuestions& h) {
             h.keep({a1});
             auto again = a1;
             again.account = 7;
             h.hold(again);
             return texts(h.takeOtherAccounts(7));
         },
         {"a1"}},
        {"a sign-out takes every list's questions of the account gone",
         [&](HeldQuestions& h) {
             h.startWaiting();
             h.hold(a1);
             h.keep({b1});
             h.release({held("queued", "chat-a", 1)});
             h.hold(a2);
             return texts(h.takeOtherAccounts(2));
         },
         {"a1", "b1", "queued"}},
        {"nothing is taken from the account still signed in",
         [&](HeldQuestions& h) {
             h.hold(a2);
             h.keep({held("k2", "chat-b", 2)});
             return texts(h.takeOtherAccounts(2));
         },
         {}},
        {"a chat moved takes its own, from every list, and no other's",
         [&](HeldQuestions& h) {
             h.hold(a1);
             h.hold(b1);
             h.keep({a2});
             h.release({held("queued", "chat-a", 1)});
             auto all = texts(h.take("chat-a"));
             all.push_back(h.holds("chat-a") ? "chat-a still held" : "-");
             all.push_back(h.holds("chat-b") ? "chat-b held" : "-");
             return all;
         },
         {"a1", "a2", "queued", "-", "chat-b held"}},
        // Asked oldest first, in the order they were asked, however they came to be held.
        {"a refused one kept, a newer one held by Unlock first",
         [&](HeldQuestions& h) {
             auto older = held("older", "chat-a", 1);
             older.order = HeldQuestions::nextOrder();
             auto newer = held("newer", "chat-a", 1);
             newer.order = HeldQuestions::nextOrder();
             h.keep({older});
             h.startWaiting();
             h.hold(newer);
             return texts(h.letGo());
         },
         {"older", "newer"}},
        {"kept out of order, taken oldest first",
         [&](HeldQuestions& h) {
             h.keep({held("first", "chat-a", 1)});
             auto second = held("second", "chat-b", 1);
             h.keep({held("third", "chat-a", 1)});
             second.order = 1;
             h.keep({second});
             return texts(h.letGo());
         },
         {"second", "first", "third"}},
        // Whatever else waits: an unlock's answer, the keyring's own, questions to ask.
        {"the keyring opening lets go of every one waiting for it or for an unlock",
         [&](HeldQuestions& h) {
             h.startWaiting();
             h.hold(a1);
             auto handedOver = b1;
             handedOver.wait = HeldQuestions::Wait::keyring;
             h.put({handedOver});
             h.release({held("queued", "chat-a", 1)});
             auto all = texts(h.letGo());
             all.push_back(h.hasNext() ? "queued still to ask" : "-");
             return all;
         },
         {"a1", "b1", "queued still to ask"}},
        {"released behind those still to ask, in their place",
         [&](HeldQuestions& h) {
             auto early = held("early", "chat-a", 1);
             early.order = HeldQuestions::nextOrder();
             h.release({held("late", "chat-a", 1)});
             h.release({early});
             std::vector<std::string> asked;
             while (const auto next = h.next()) {
                 asked.push_back(next->question.text);
             }
             return asked;
         },
         {"early", "late"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HeldQuestions questions;
        EXPECT_EQ(c.steps(questions), c.expected);
    }
}

}  // namespace
}  // namespace vask
