// The history, manifests, progress lines and titles a turn derives from its session.
#include <gtest/gtest.h>

#include "chat/chat_view_model.h"
#include "chat_fixture.h"
#include "platform/text.h"

namespace vask {
namespace {

using test::message;

std::vector<ChatMessage> answeredTurns(int count, std::size_t textLength = 10) {
    std::vector<ChatMessage> messages;
    for (int i = 0; i < count; ++i) {
        messages.push_back(message(ChatRole::user, "q" + std::to_string(i)));
        messages.push_back(
            message(ChatRole::assistant, "a" + std::to_string(i) + std::string(textLength, 'x')));
    }
    return messages;
}

std::vector<std::string> roles(const std::vector<HostConversationMessage>& history) {
    std::vector<std::string> out;
    for (const auto& entry : history) {
        out.push_back(entry.role + ":" + entry.text);
    }
    return out;
}

TEST(ChatHistoryTest, AnsweredHistoryDropsUnansweredQuestions) {
    struct Case {
        const char* name;
        std::vector<std::pair<ChatRole, std::string>> input;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"trailing question",
         {{ChatRole::user, "q1"}, {ChatRole::assistant, "a1"}, {ChatRole::user, "q2"}},
         {"user:q1", "assistant:a1"}},
        {"question then question",
         {{ChatRole::user, "q1"}, {ChatRole::user, "q2"}, {ChatRole::assistant, "a2"}},
         {"user:q2", "assistant:a2"}},
        {"assistant and system kept",
         {{ChatRole::assistant, "a"}, {ChatRole::system, "s"}},
         {"assistant:a", "system:s"}},
        {"question before system", {{ChatRole::user, "q"}, {ChatRole::system, "s"}}, {"system:s"}},
    };
    for (const auto& c : cases) {
        std::vector<ChatMessage> messages;
        for (const auto& [role, text] : c.input) {
            messages.push_back(message(role, text));
        }
        EXPECT_EQ(roles(ChatViewModel::answeredConversationHistory(messages)), c.expected)
            << c.name;
    }
}

TEST(ChatHistoryTest, RecentHistoryKeepsTheNewestWithinBudget) {
    const std::string marker(ChatViewModel::historyCutMarker);
    // A family emoji is one user-perceived character of several code points.
    std::string family;
    for (int i = 0; i < 120; ++i) {
        family += "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    }
    struct Case {
        const char* name;
        std::vector<ChatMessage> messages;
        std::ptrdiff_t maxMessages;
        std::ptrdiff_t maxCharacters;
        std::size_t expectedCount;
        // Of the oldest kept entry.
        std::size_t expectedFirstLength;
        std::string expectedFirstEnding;
    };
    const std::vector<Case> cases = {
        {"eight entries keep six", answeredTurns(4), 6, 12000, 6, 2, "q1"},
        {"newest too long is cut with the marker",
         {message(ChatRole::user, "old"), message(ChatRole::assistant, "old answer"),
          message(ChatRole::user, "q"), message(ChatRole::assistant, std::string(12010, 'y'))},
         6,
         12000,
         1,
         12000,
         marker},
        {"small budget ends in an ellipsis",
         {message(ChatRole::user, "q"), message(ChatRole::assistant, std::string(40, 'y'))},
         6,
         30,
         1,
         30,
         std::string(29, 'y') + "\u2026"},
        {"budget equal to the marker uses the ellipsis",
         {message(ChatRole::user, "q"), message(ChatRole::assistant, std::string(60, 'y'))},
         6,
         48,
         1,
         48,
         "y\u2026"},
        {"budget of one",
         {message(ChatRole::user, "q"), message(ChatRole::assistant, "long answer")},
         6,
         1,
         1,
         1,
         "\u2026"},
        {"grapheme clusters are characters",
         {message(ChatRole::user, "q"), message(ChatRole::assistant, family)},
         6,
         100,
         1,
         100,
         marker},
        {"second entry takes the rest of the budget",
         {message(ChatRole::user, std::string(20, 'q')), message(ChatRole::assistant, "abcde")},
         6,
         10,
         2,
         5,
         "qqqq\u2026"},
        {"no messages allowed", answeredTurns(2), 0, 12000, 0, 0, ""},
        {"no characters allowed", answeredTurns(2), 6, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        const auto history =
            ChatViewModel::recentConversationHistory(c.messages, c.maxMessages, c.maxCharacters);
        ASSERT_EQ(history.size(), c.expectedCount) << c.name;
        if (history.empty()) {
            continue;
        }
        const std::string& first = history.front().text;
        EXPECT_EQ(text::graphemeCount(first), c.expectedFirstLength) << c.name;
        EXPECT_TRUE(first.ends_with(c.expectedFirstEnding)) << c.name << ": " << first;
    }
}

TEST(ChatHistoryTest, FriendlyProgressMapsByFirstMatch) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Generating code for step 2", "Thinking\u2026"},
        {"EXECUTING query", "Searching your messages\u2026"},
        {"Executing sub-query", "Searching your messages\u2026"},
        {"running Sub-Query 3", "Reading your messages\u2026"},
        {"batch retry", "Reading your messages\u2026"},
        {"Repairing output", "Refining\u2026"},
        {"Retry 2", "Refining\u2026"},
        {"Preparing\u2026", "Preparing\u2026"},
        {"Some Other Status", "Some Other Status"},
    };
    for (const auto& [status, expected] : cases) {
        EXPECT_EQ(ChatViewModel::friendlyProgress(status), expected) << status;
    }
}

TEST(ChatHistoryTest, ProvisionalTitleIsTheTrimmedQuestionCutAt48) {
    const std::string emoji48 = [] {
        std::string s;
        for (int i = 0; i < 48; ++i) {
            s += "\U0001F44D\U0001F3FD";  // thumbs up with a skin tone: one character
        }
        return s;
    }();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string(48, 'a'), std::string(48, 'a')},
        {std::string(49, 'a'), std::string(48, 'a') + "\u2026"},
        {"  \n \t ", "New Chat"},
        {"  first line\nsecond line  ", "first line second line"},
        {emoji48, emoji48},
        {emoji48 + "!", emoji48 + "\u2026"},
    };
    for (const auto& [question, expected] : cases) {
        EXPECT_EQ(ChatViewModel::provisionalTitle(question), expected) << question;
    }
}

}  // namespace
}  // namespace vask
