#include <gtest/gtest.h>

#include "chat/chat_presenters.h"
#include "chat/chat_view_model.h"

namespace vask {
namespace {

namespace cp = chat_presentation;

TEST(TokenUsageTextsTest, CompactRoundingAtTheUnitBoundaries) {
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {999, "999 tokens"},       {1000, "1k tokens"},   {1234, "1.2k tokens"},
        {999949, "999.9k tokens"}, {999950, "1m tokens"}, {2500000, "2.5m tokens"},
    };
    for (const auto& [total, expected] : cases) {
        ChatTokenUsage usage;
        usage.totalTokens = total;
        const auto texts = cp::tokenUsageTexts(usage, "en_US");
        EXPECT_EQ(texts.totalSummary.substr(0, texts.totalSummary.find(" \xC2\xB7")), expected)
            << total;
    }
}

TEST(TokenUsageTextsTest, SummariesAndDetails) {
    ChatTokenUsage empty;
    ChatTokenUsage full;
    full.totalTokens = 12345;
    full.root.inputTokens = 1200;
    full.root.outputTokens = 340;
    full.root.totalTokens = 10000;
    full.root.cacheReadTokens = 0;
    full.root.cacheCreationTokens = 0;
    full.root.reasoningTokens = 50;
    full.root.requests = 3;
    full.subcall.totalTokens = 2345;
    full.subcall.cacheReadTokens = 1500;
    full.subcall.cacheCreationTokens = 2;
    full.subcall.reasoningTokens = 0;
    ChatTokenUsage callsOnly;
    callsOnly.root.requests = 0;

    struct Case {
        const char* name;
        ChatTokenUsage usage;
        std::string total, categories, detail;
    };
    const std::vector<Case> cases = {
        {"allAbsent", empty,
         "tokens \xE2\x80\x94 \xC2\xB7 root \xE2\x80\x94 \xC2\xB7 subcalls \xE2\x80\x94",
         "cache read \xE2\x80\x94 \xC2\xB7 cache write \xE2\x80\x94 \xC2\xB7 reasoning "
         "\xE2\x80\x94 "
         "\xC2\xB7 some metrics unavailable",
         "Some provider metrics unavailable"},
        {"full", full, "12.3k tokens \xC2\xB7 root 10k \xC2\xB7 subcalls 2.3k",
         "cache read 1.5k \xC2\xB7 cache write 2 \xC2\xB7 reasoning 50",
         "Complete category breakdown. Root: input 1,200, output 340, cache read 0, cache write 0, "
         "reasoning 50, 3 calls. Subcalls: cache read 1,500, cache write 2, reasoning 0"},
        {"zeroCalls", callsOnly,
         "tokens \xE2\x80\x94 \xC2\xB7 root \xE2\x80\x94 \xC2\xB7 subcalls \xE2\x80\x94",
         "cache read \xE2\x80\x94 \xC2\xB7 cache write \xE2\x80\x94 \xC2\xB7 reasoning "
         "\xE2\x80\x94 "
         "\xC2\xB7 some metrics unavailable",
         "Some provider metrics unavailable. Root: 0 calls"},
    };
    for (const auto& c : cases) {
        const auto texts = cp::tokenUsageTexts(c.usage, "en_US");
        EXPECT_EQ(texts.totalSummary, c.total) << c.name;
        EXPECT_EQ(texts.categorySummary, c.categories) << c.name;
        EXPECT_EQ(texts.detail, c.detail) << c.name;
    }
}

TEST(TokenUsageTextsTest, OnlyUsagesWithACountAreShown) {
    ChatTokenUsage kindOnly;
    kindOnly.root.requests = 4;
    kindOnly.unattributedTokens = 9;
    ChatTokenUsage totalOnly;
    totalOnly.totalTokens = 5;
    ChatTokenUsage subcallOutput;
    subcallOutput.subcall.outputTokens = 1;
    EXPECT_FALSE(cp::showsTokenUsage(std::nullopt));
    EXPECT_FALSE(cp::showsTokenUsage(kindOnly));
    EXPECT_TRUE(cp::showsTokenUsage(totalOnly));
    EXPECT_TRUE(cp::showsTokenUsage(subcallOutput));
}

TEST(ChatViewPresentationTest, SendRule) {
    ChatMessage question;
    const auto sending = ChatState::sending(question, std::nullopt, std::nullopt);
    struct Case {
        bool ready;
        const char* text;
        ChatState state;
        bool expected;
    };
    const std::vector<Case> cases = {
        {true, "hi", ChatState::idle(), true},
        {false, "hi", ChatState::idle(), false},
        {true, " \n\t ", ChatState::idle(), false},
        {true, "", ChatState::idle(), false},
        {true, "hi", sending, false},
        {true, "hi", ChatState::failed(question, "x"), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cp::canSend(c.ready, c.text, c.state), c.expected) << c.text << c.ready;
    }
}

TEST(ChatViewPresentationTest, ProgressReasoningAndErrorFollowTheState) {
    ChatMessage q;
    EXPECT_EQ(cp::progressText(ChatState::sending(q, std::nullopt, std::nullopt)),
              "reading your messages\xE2\x80\xA6");
    EXPECT_EQ(cp::progressText(ChatState::sending(q, "Searching 3 chats", std::nullopt)),
              "Searching 3 chats");
    EXPECT_EQ(cp::shownReasoning(ChatState::sending(q, std::nullopt, "")), std::nullopt);
    EXPECT_EQ(cp::shownReasoning(ChatState::sending(q, std::nullopt, "hmm")), "hmm");
    EXPECT_EQ(cp::shownReasoning(ChatState::failed(q, "hmm")), std::nullopt);
    EXPECT_EQ(cp::errorRowText(ChatState::failed(q, "Boom")), "Boom");
    EXPECT_EQ(cp::errorRowText(ChatState::usageLimitReached(q, AuthType::apiKey, std::nullopt)),
              std::nullopt);
}

// While the keyring that holds the credentials is locked the chat says so once, with the unlock,
// whether or not a question found it locked; a running question's progress is not covered.
TEST(ChatViewPresentationTest, ALockedKeyringIsSaidOnceWithItsUnlock) {
    using Problem = ChatState::CredentialProblem;
    ChatMessage q;
    const std::string locked(ChatViewModel::keyringLockedText);
    const auto foundLocked = ChatState::failed(q, locked, Problem::keyringLocked);
    struct Case {
        const char* name;
        ChatState state;
        std::optional<std::string> underQuestion;
        std::optional<std::string> belowTranscript;
    };
    const Case cases[] = {
        {"nothing asked", ChatState::idle(), std::nullopt, locked},
        {"answered before", ChatState::responded(q, q), std::nullopt, locked},
        {"a question failed otherwise", ChatState::failed(q, "Boom"), "Boom", locked},
        {"a question found it locked", foundLocked, locked, std::nullopt},
        {"a failure in the same words", ChatState::failed(q, locked), locked, locked},
        {"a question runs", ChatState::sending(q, std::nullopt, std::nullopt), std::nullopt,
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cp::errorRowText(c.state), c.underQuestion);
        EXPECT_EQ(cp::keyringRowText(c.state, true, false), c.belowTranscript);
        EXPECT_EQ(cp::keyringRowText(c.state, false, false), std::nullopt);
    }
    // While its prompt is open, the row below says what the unlock waits for, once.
    const std::string unlocking(ChatViewModel::keyringUnlockingText);
    EXPECT_EQ(cp::keyringRowText(ChatState::idle(), true, true), unlocking);
    const auto waiting = ChatState::failed(q, unlocking, Problem::keyringUnlocking);
    EXPECT_EQ(cp::keyringRowText(waiting, true, true), std::nullopt);
    // The button follows from why the question failed, never from its words.
    const std::string notAnswering(ChatViewModel::keyringNotAnsweringText);
    struct Action {
        const char* name;
        ChatState state;
        bool keyringLocked;
        std::optional<std::string_view> action;
    };
    const Action actions[] = {
        {"locked", foundLocked, true, cp::unlockKeyringAction},
        {"unlocked meanwhile", foundLocked, false, std::nullopt},
        {"the same words from elsewhere", ChatState::failed(q, locked), true, std::nullopt},
        {"another failure", ChatState::failed(q, "Boom"), true, std::nullopt},
        {"not answering", ChatState::failed(q, notAnswering, Problem::keyringNotAnswering), false,
         cp::askKeyringAgainAction},
        {"no keyring on the bus",
         ChatState::failed(q, std::string(ChatViewModel::keyringNotAvailableText),
                           Problem::keyringNotAvailable),
         false, cp::askKeyringAgainAction},
        {"its prompt open", waiting, true, std::nullopt},
        {"signed out", ChatState::failed(q, "x", Problem::signedOut), false, std::nullopt},
    };
    for (const auto& a : actions) {
        SCOPED_TRACE(a.name);
        EXPECT_EQ(cp::errorRowAction(a.state, a.keyringLocked), a.action);
    }
    EXPECT_EQ(cp::keyringRowAction(false), cp::unlockKeyringAction);
    EXPECT_EQ(cp::keyringRowAction(true), std::nullopt);
}

TEST(ChatViewPresentationTest, UsageLimitCopyPerTier) {
    const std::string f = "Payments are processed securely by Corvane, Vask's billing platform.";
    struct Case {
        AuthType auth;
        std::optional<std::string> tier;
        cp::UsageLimitCopy expected;
    };
    const cp::UsageLimitCopy pro{"You've used this month's Vask allowance",
                                 "Upgrade to Vask Pro for a larger monthly allowance.",
                                 "Upgrade to Pro", f};
    const std::vector<Case> cases = {
        {AuthType::apiKey,
         "max",
         {"Your Corvane developer limit was reached",
          "Review your separate Corvane developer account to continue.", "Open Corvane",
          std::nullopt}},
        {AuthType::customerToken,
         "max",
         {"You've used this month's Vask Max allowance",
          "Your allowance renews at the start of your next billing period.", "Manage Subscription",
          f}},
        {AuthType::customerToken,
         "pro",
         {"You've used this month's Vask allowance",
          "Upgrade to Vask Max for a larger monthly allowance.", "Upgrade to Max", f}},
        {AuthType::customerToken, std::nullopt, pro},
        {AuthType::customerToken, "", pro},
        {AuthType::customerToken, "Max", pro},
        {AuthType::customerToken, "team", pro},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cp::usageLimitCopy(c.auth, c.tier), c.expected) << c.tier.value_or("nil");
    }
    EXPECT_EQ(cp::usageLimitTarget(AuthType::customerToken, "https://cloud.example/account"),
              "https://cloud.example/account");
    EXPECT_EQ(cp::usageLimitTarget(AuthType::customerToken, ""), std::nullopt);
    EXPECT_EQ(cp::usageLimitTarget(AuthType::apiKey, ""), std::string(cp::relayPlatformURL));
}

TEST(ChatViewPresentationTest, ComposerHeightGrowsToFiveLinesThenScrolls) {
    struct Case {
        double content;
        double height;
        bool scroller;
    };
    const std::vector<Case> cases = {
        {0, 16, false}, {16, 16, false}, {64, 64, false}, {80, 80, false}, {96, 80, true},
    };
    for (const auto& c : cases) {
        const auto h = cp::composerHeight(c.content, 16);
        EXPECT_EQ(h.height, c.height) << c.content;
        EXPECT_EQ(h.showsScroller, c.scroller) << c.content;
    }
    EXPECT_FALSE(cp::composerHeightChanged(16, 16.5));
    EXPECT_TRUE(cp::composerHeightChanged(16, 16.6));
}

ChatMessage answer() {
    ChatMessage m;
    m.role = ChatRole::assistant;
    return m;
}

TEST(BubblePresentationTest, StatusSectionOnlyForAnswersWithSomethingToShow) {
    QueryEvidenceSource query;
    query.id = "q";
    const AnswerSource source{query};
    MemoryReceipt receipt;
    auto withSources = answer();
    withSources.sources = std::vector{source};
    auto withReceipts = answer();
    withReceipts.memoryReceipts = std::vector{receipt};
    auto extracted = answer();
    extracted.extracted = true;
    auto notExtracted = answer();
    notExtracted.extracted = false;
    auto userWithEverything = withSources;
    userWithEverything.role = ChatRole::user;
    userWithEverything.extracted = true;
    auto emptyLists = answer();
    emptyLists.sources = std::vector<AnswerSource>{};
    emptyLists.memoryReceipts = std::vector<MemoryReceipt>{};

    struct Case {
        const char* name;
        ChatMessage message;
        bool showsSources;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"bare", answer(), true, false},
        {"notExtracted", notExtracted, true, false},
        {"emptyLists", emptyLists, true, false},
        {"sources", withSources, true, true},
        {"sourcesHidden", withSources, false, false},
        {"receiptsWithSourcesHidden", withReceipts, false, true},
        {"extracted", extracted, false, true},
        {"user", userWithEverything, true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cp::showsStatusSection(c.message, c.showsSources), c.expected) << c.name;
    }
    EXPECT_TRUE(cp::visibleSources(withSources, false).empty());
    EXPECT_EQ(cp::visibleSources(withSources, true).size(), 1U);
}

MemoryReceipt receipt(std::optional<MemoryMutationOperation> op,
                      std::optional<MemoryProvenance> provenance, MemoryReceiptStatus status) {
    MemoryReceipt r;
    r.id = Uuid::random();
    r.operation = op;
    r.provenance = provenance;
    r.status = status;
    r.term = "coffee";
    r.definition = "oat flat white";
    return r;
}

TEST(BubblePresentationTest, TextsAreCutAtWholeCharactersPastTheLimit) {
    const std::size_t limit = cp::maxShownCharacters;
    const auto times = [](std::string_view unit, std::size_t count) {
        std::string out;
        for (std::size_t i = 0; i < count; ++i) {
            out += unit;
        }
        return out;
    };
    struct Case {
        const char* name;
        std::string text;
        bool cut;
        std::size_t shownBytes;
    };
    // "e" with a combining acute accent is one character of three bytes.
    const std::vector<Case> cases = {
        {"short", "An answer.", false, 10},
        {"atTheLimit", std::string(limit, 'a'), false, limit},
        {"oneOver", std::string(limit + 1, 'a'), true, limit},
        {"twoBytesEach", times("\xC3\xA9", limit), false, 2 * limit},
        {"combiningPastTheLimit", times("e\xCC\x81", limit + 5), true, 3 * limit},
    };
    for (const auto& c : cases) {
        const auto shown = cp::shownText(c.text);
        EXPECT_EQ(shown.cut, c.cut) << c.name;
        EXPECT_EQ(shown.text.size(), c.shownBytes) << c.name;
    }
    EXPECT_NE(cp::shownTextCutNote().find("30,000 characters"), std::string::npos);
}

TEST(ReceiptPresentationTest, AutoSavesComeFirstAndKeepTheirOrder) {
    using Op = MemoryMutationOperation;
    using P = MemoryProvenance;
    using S = MemoryReceiptStatus;
    const auto explicitSave = receipt(Op::create, P::explicitlySaved, S::committed);
    const auto auto1 = receipt(Op::suggest, P::inferred, S::committed);
    const auto suggestExplicit = receipt(Op::suggest, P::explicitlySaved, S::committed);
    const auto suggestNoProvenance = receipt(Op::suggest, std::nullopt, S::committed);
    const auto auto2 = receipt(Op::suggest, P::inferred, S::undone);
    const auto groups =
        cp::groupReceipts({explicitSave, auto1, suggestExplicit, suggestNoProvenance, auto2});
    EXPECT_EQ(groups.autoSaves, (std::vector{auto1, auto2}));
    EXPECT_EQ(groups.others, (std::vector{explicitSave, suggestExplicit, suggestNoProvenance}));
}

TEST(ReceiptPresentationTest, TextsPerStatus) {
    using S = MemoryReceiptStatus;
    struct Case {
        S status;
        std::string symbol, rowTooltip, autoLabel, autoTooltip;
    };
    const std::vector<Case> cases = {
        {S::committed, "checkmark.circle.fill", "Committed to private memory on this device",
         "Saved to memory:", "Auto-saved to private memory on this device"},
        {S::undone, "arrow.uturn.backward.circle.fill",
         "The requested memory change was not committed",
         "Removed from memory:", "Removed from private memory on this device"},
        {S::failed, "exclamationmark.circle", "The requested memory change was not committed",
         "Removed from memory:", "Removed from private memory on this device"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cp::statusSymbol(c.status), c.symbol);
        EXPECT_EQ(cp::receiptRowTooltip(c.status), c.rowTooltip);
        EXPECT_EQ(cp::autoSaveRowLabel(c.status), c.autoLabel);
        EXPECT_EQ(cp::autoSaveRowTooltip(c.status), c.autoTooltip);
    }
    auto r = receipt(MemoryMutationOperation::create, std::nullopt, S::committed);
    EXPECT_EQ(cp::receiptRowAccessibleName(r), "Saved to memory, coffee = oat flat white");
    r.status = S::failed;
    EXPECT_EQ(cp::receiptRowAccessibleName(r), "Memory wasn\xE2\x80\x99t changed");
}

TEST(ReceiptPresentationTest, AutoSaveGroupLabels) {
    using S = MemoryReceiptStatus;
    const auto make = [](std::vector<S> statuses) {
        std::vector<MemoryReceipt> out;
        for (const auto s : statuses) {
            out.push_back(receipt(MemoryMutationOperation::suggest, MemoryProvenance::inferred, s));
        }
        return out;
    };
    struct Case {
        std::vector<S> statuses;
        std::string label, symbol;
    };
    const std::vector<Case> cases = {
        {{S::committed, S::committed, S::committed}, "3 saved to memory", "checkmark.circle.fill"},
        {{S::committed, S::undone, S::committed},
         "2 saved \xC2\xB7 1 undone",
         "checkmark.circle.fill"},
        {{S::undone, S::undone}, "2 removed from memory", "arrow.uturn.backward.circle.fill"},
        {{S::committed, S::failed}, "1 saved \xC2\xB7 0 undone", "checkmark.circle.fill"},
        {{S::failed, S::undone}, "1 removed from memory", "arrow.uturn.backward.circle.fill"},
    };
    for (const auto& c : cases) {
        const auto receipts = make(c.statuses);
        EXPECT_EQ(AutoSaveReceiptGroupPresentation::label(receipts), c.label);
        EXPECT_EQ(AutoSaveReceiptGroupPresentation::symbolName(receipts), c.symbol);
    }
}

TEST(SourcesPresentationTest, ListAndCardLimits) {
    struct Case {
        std::size_t total;
        bool all;
        std::size_t shown;
        std::optional<std::string> more;
    };
    const std::vector<Case> sources = {
        {0, false, 0, std::nullopt}, {6, false, 6, std::nullopt},   {7, false, 6, "Show 1 more"},
        {7, true, 7, "Show fewer"},  {12, false, 6, "Show 6 more"}, {6, true, 6, std::nullopt},
    };
    for (const auto& c : sources) {
        EXPECT_EQ(cp::shownSourceCount(c.total, c.all), c.shown) << c.total;
        EXPECT_EQ(cp::moreSourcesTitle(c.total, c.all), c.more) << c.total;
    }
    const std::vector<Case> messages = {
        {3, false, 3, std::nullopt},
        {4, false, 3, "Show 1 more messages"},
        {4, true, 4, "Show fewer messages"},
        {0, false, 0, std::nullopt},
    };
    for (const auto& c : messages) {
        EXPECT_EQ(cp::shownMessageCount(c.total, c.all), c.shown) << c.total;
        EXPECT_EQ(cp::moreMessagesTitle(c.total, c.all), c.more) << c.total;
    }
    EXPECT_EQ(cp::rowCountText(1), "1 row");
    EXPECT_EQ(cp::rowCountText(0), "0 rows");
    EXPECT_EQ(cp::sourcesToggleTitle(7), "Sources (7)");
}

TEST(SourcesPresentationTest, RelativeAges) {
    const std::int64_t now = 1'800'000'000;
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {0, "1m ago"},    {-500, "1m ago"},   {119, "1m ago"},   {3599, "59m ago"},
        {3600, "1h ago"}, {86399, "23h ago"}, {86400, "1d ago"}, {10 * 86400, "10d ago"},
    };
    for (const auto& [delta, expected] : cases) {
        EXPECT_EQ(cp::relativeAge(now - delta, now), expected) << delta;
    }
    // Corrupt stored timestamps must not overflow.
    EXPECT_EQ(cp::relativeAge(INT64_MIN, now), std::to_string(INT64_MAX / 86400) + "d ago");
    EXPECT_EQ(cp::relativeAge(INT64_MAX, -now), "1m ago");
}

TEST(SourcesPresentationTest, MessagesLinkKeepsTheAddressAsOneValue) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"+15550101", "imessage:?addresses=+15550101"},
        {"ann@example.com", "imessage:?addresses=ann@example.com"},
        {"a&b=c#d e", "imessage:?addresses=a%26b%3Dc%23d%20e"},
    };
    for (const auto& [address, url] : cases) {
        EXPECT_EQ(MessagesTarget{address}.url(), url);
    }
}

// No Messages application: no card offers to open its conversation there.
TEST(SourcesPresentationTest, MessagesLinkOnlyWhereMessagesAnswersIt) {
    ConversationSource withTarget;
    withTarget.messagesTarget = MessagesTarget{"+15550101"};
    const ConversationSource withoutTarget;
    EXPECT_EQ(cp::sourceMessagesLink(withTarget, true), "imessage:?addresses=+15550101");
    EXPECT_EQ(cp::sourceMessagesLink(withTarget, false), std::nullopt);
    EXPECT_EQ(cp::sourceMessagesLink(withoutTarget, true), std::nullopt);
    EXPECT_FALSE(messagesApplicationPresent);
    EXPECT_EQ(cp::openedThing("imessage:?addresses=1"), "the conversation in Messages");
    EXPECT_EQ(cp::openedThing("IMESSAGE:?addresses=1"), "the conversation in Messages");
    EXPECT_EQ(cp::openedThing("https://example.com"), "the link");
    EXPECT_EQ(cp::openedThing(""), "the link");
}

TEST(LinkPolicyTest, OnlyWebLinksOpen) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"https://example.com/a", true},
        {"HTTP://example.com", true},
        {"file:///etc/passwd", false},
        {"javascript:alert(1)", false},
        {"vask://send?q=x", false},
        {"imessage:?addresses=1", false},
        {"https://", false},
        {"", false},
        {"//example.com", false},
        {"data:text/html,<b>", false},
    };
    for (const auto& [url, opens] : cases) {
        EXPECT_EQ(cp::opensLink(url), opens) << url;
    }
}

}  // namespace
}  // namespace vask
