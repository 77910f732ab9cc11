#include <gtest/gtest.h>

#include "records/title_generator.h"

namespace vask {
namespace {

// Stands in for the relay's completion: records what it was asked and answers as told.
struct StubRelay {
    std::optional<std::string> reply;
    std::vector<TitleGenerator::CompletionRequest> requests;

    TitleGenerator::Complete complete() {
        return [this](const TitleGenerator::CompletionRequest& request) {
            requests.push_back(request);
            return reply;
        };
    }
};

std::optional<std::string> titleFor(std::optional<std::string> reply) {
    StubRelay relay{std::move(reply), {}};
    return TitleGenerator::generate("q", "a", {}, relay.complete());
}

TEST(TitleGenerator, RepliesAreSanitisedIntoShortTitles) {
    struct Case {
        const char* name;
        std::optional<std::string> reply;
        std::optional<std::string> title;
    };
    const Case cases[] = {
        {"curly quotes and full stop", "\u201CWeekend Plans.\u201D", "Weekend Plans"},
        {"only marks", "\"'..\"'", std::nullopt},
        {"spaced-off full stop stays", "\" . \"", "."},
        {"two lines", "Weekend\nPlans", "Weekend Plans"},
        {"surrounding whitespace", " \n\t Trip Ideas \n", "Trip Ideas"},
        {"exclamation kept", "Big News!", "Big News!"},
        {"question kept", "Who Called?", "Who Called?"},
        {"ellipsis dots removed", "Thinking...", "Thinking"},
        {"inner quote kept", "Ana's \"Big\" Day", "Ana's \"Big\" Day"},
        {"cut at 40 with the space at the cut removed",
         std::string(39, 'a') + " " + std::string(20, 'b'), std::string(39, 'a')},
        {"40 characters kept whole", std::string(40, 'c'), std::string(40, 'c')},
        {"letter case kept", "lower case title", "lower case title"},
        {"no reply", std::nullopt, std::nullopt},
        {"empty reply", "", std::nullopt},
        {"blank reply", "  \n ", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(titleFor(c.reply), c.title);
    }
    std::string flags;
    for (int i = 0; i < 45; ++i) {
        flags += "\U0001F1EB\U0001F1F7";  // one flag: two code points, one character
    }
    const auto title = titleFor(flags);
    ASSERT_TRUE(title.has_value());
    EXPECT_EQ(title->size(), 40u * 8u);
}

TEST(TitleGenerator, SendsTheExactPromptAndSettings) {
    StubRelay relay{"Title", {}};
    const TitleGenerator::Credentials credentials{std::nullopt, "customer-token"};
    TitleGenerator::generate("What did Ana say?", "She said 7pm.", credentials, relay.complete());
    ASSERT_EQ(relay.requests.size(), 1u);
    const auto& request = relay.requests[0];
    const std::string head =
        "Generate a punchy 2-4 word title for this chat. Title Case. No quotes, no trailing "
        "punctuation, no preamble \xE2\x80\x94 output only the title.\n\nUser: ";
    EXPECT_EQ(head.size(), 142u);
    EXPECT_EQ(request.prompt, head + "What did Ana say?\nAssistant: She said 7pm.");
    EXPECT_EQ(request.maxOutputTokens, 512);
    EXPECT_EQ(request.reasoningEffort, "none");
    EXPECT_EQ(request.timeout, std::chrono::seconds(20));
    EXPECT_EQ(request.credentials, credentials);
}

TEST(TitleGenerator, ExcerptsAreTheFirst500Characters) {
    const std::string longUser = std::string(1500, 'u') + std::string(500, 'X');
    std::string accented;
    for (int i = 0; i < 600; ++i) {
        accented += "e\xCC\x81";  // e + combining acute: one character, three bytes
    }
    struct Case {
        const char* name;
        std::string user;
        std::string assistant;
        std::string expectedTail;
    };
    const Case cases[] = {
        {"long question", longUser, "", std::string(500, 'u') + "\nAssistant: "},
        {"combined characters", "q", accented, "q\nAssistant: " + accented.substr(0, 1500)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto prompt = TitleGenerator::prompt(c.user, c.assistant);
        EXPECT_EQ(prompt.substr(142), c.expectedTail);
    }
}

TEST(TitleGenerator, AThrowingCompletionGivesNoTitle) {
    const TitleGenerator::Complete throwing =
        [](const TitleGenerator::CompletionRequest&) -> std::optional<std::string> {
        throw std::runtime_error("transport broke");
    };
    EXPECT_EQ(TitleGenerator::generate("q", "a", {}, throwing), std::nullopt);
}

}  // namespace
}  // namespace vask
