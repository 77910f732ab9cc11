#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "chat/chat_transient_line.h"

namespace vask {
namespace {

// A line belongs to the chat it was said in: shown while that chat is, gone for good once
// another chat is shown, taken away by an empty text.
TEST(ChatTransientLineTest, ALineShowsOnlyUnderItsChatUntilAnotherIsShown) {
    struct Step {
        std::optional<std::pair<std::string, std::string>> said;  // chat, text
        std::string shown;
        std::optional<std::string> expected;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const auto say = [](std::string chat, std::string text) {
        return std::optional(std::pair{std::move(chat), std::move(text)});
    };
    const std::vector<Case> cases = {
        {"its own chat",
         {{say("a", "Couldn't open x."), "a", "Couldn't open x."}, {{}, "a", "Couldn't open x."}}},
        {"another chat and back",
         {{say("a", "f"), "a", "f"}, {{}, "b", std::nullopt}, {{}, "a", std::nullopt}}},
        {"said late for a chat left", {{say("a", "f"), "b", std::nullopt}}},
        {"taken away", {{say("a", "f"), "a", "f"}, {say("a", ""), "a", std::nullopt}}},
        {"a later one replaces it",
         {{say("a", "f"), "a", "f"}, {say("b", "g"), "b", "g"}, {{}, "a", std::nullopt}}},
    };
    for (const auto& c : cases) {
        ChatTransientLine line;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto& step = c.steps[i];
            if (step.said) {
                line.say(step.said->first, step.said->second);
            }
            EXPECT_EQ(line.shownFor(step.shown), step.expected) << c.name << " step " << i;
        }
    }
}

}  // namespace
}  // namespace vask
