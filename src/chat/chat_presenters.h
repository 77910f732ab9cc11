#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chat/chat_state.h"
#include "engine/rlm_usage_observability.h"
#include "memory/memory_receipt.h"
#include "records/answer_source.h"
#include "records/chat_message.h"
#include "records/chat_token_usage.h"

// What the chat views show, decided without the toolkit: the widgets in src/ui/chat only lay
// these values out.
namespace vask::chat_presentation {

// --- Token usage ------------------------------------------------------------------------------

// The two lines under an answer and in the progress row, and the full breakdown for the
// tooltip. `locale` is an ICU id; empty means the process's locale.
struct TokenUsageTexts {
    std::string totalSummary;
    std::string categorySummary;
    std::string detail;
};
TokenUsageTexts tokenUsageTexts(const ChatTokenUsage& usage, std::string_view locale = {});
// "Root: input 1,200, output 340, 3 calls"; empty when the breakdown knows nothing.
std::string roleDetail(std::string_view role, const TokenUsageBreakdown& breakdown,
                       std::string_view locale = {});
// A usage with no count at all (only its kind or request counts) is not shown.
bool showsTokenUsage(const std::optional<ChatTokenUsage>& usage);

// --- The chat view --------------------------------------------------------------------------

// Sending needs a ready host, a question that is not only blanks, and no turn running.
bool canSend(bool isReady, std::string_view inputText, const ChatState& state);
// The progress row's text while a turn runs.
std::string progressText(const ChatState& state);
// The reasoning to show, only while sending and when there is some; it points into `state`.
std::optional<std::string_view> shownReasoning(const ChatState& state);
// The error row under a question that got no answer: what failed it.
std::optional<std::string> errorRowText(const ChatState& ended);
// The row below the transcript while the keyring that holds the credentials is locked: what the
// user needs to do before asking, or, while its unlock prompt is open, that it waits for it. Not
// while a question runs, nor when the last question's own row already says it.
std::optional<std::string> keyringRowText(const ChatState& current, bool keyringLocked,
                                          bool unlocking);
// The button beside an error row, when it has one: unlocking the keyring while it is locked,
// asking again one that did not answer. None while an unlock waits on the keyring's prompt.
std::optional<std::string_view> errorRowAction(const ChatState& ended, bool keyringLocked);
// The button of the keyring row: unlocking, unless an unlock waits on the keyring's prompt.
std::optional<std::string_view> keyringRowAction(bool unlocking);
inline constexpr std::string_view unlockKeyringAction = "Unlock Keyring";
inline constexpr std::string_view askKeyringAgainAction = "Try Again";

inline constexpr std::string_view emptyStatePrompt = "Ask anything about your messages";
inline constexpr std::string_view emptyStateExample =
    "\xE2\x80\x9CWhat was the restaurant Sam recommended last month?\xE2\x80\x9D";
inline constexpr std::string_view composerPlaceholder = "Ask anything...";
// Shown in place of the empty state until the saved chats are read.
inline constexpr std::string_view loadingSessionsText = "Loading your chats\xE2\x80\xA6";
inline constexpr std::string_view sendTooltip =
    "Send (\xE2\x8F\x8E) \xC2\xB7 New line (\xE2\x87\xA7\xE2\x8F\x8E)";
// Where an API-key user manages the relay account.
inline constexpr std::string_view relayPlatformURL = "https://corvane.ai/";

struct UsageLimitCopy {
    std::string title;
    std::string message;
    std::string cta;
    std::optional<std::string> footnote;
    bool operator==(const UsageLimitCopy&) const = default;
};
UsageLimitCopy usageLimitCopy(AuthType authType, const std::optional<std::string>& tierCode);
// The card button's address; nothing when it cannot be formed (then there is no button).
std::optional<std::string> usageLimitTarget(AuthType authType, std::string_view accountURL);

// The composer box grows with its text from one line to five, then scrolls.
struct ComposerHeight {
    double height = 0;
    bool showsScroller = false;
};
inline constexpr int composerMaxLines = 5;
ComposerHeight composerHeight(double contentHeight, double lineHeight);
// Layout rounding must not cause resize loops: only larger changes are applied.
bool composerHeightChanged(double current, double proposed);

// --- The message bubble ---------------------------------------------------------------------

// A message's text as a bubble shows it: at most `maxShownCharacters` characters, several times
// the longest real answer (a helper may write megabytes), so that laying out one bubble stays
// well under a second. The message itself, and what is saved of it, keeps the whole text.
inline constexpr std::size_t maxShownCharacters = 30'000;
struct ShownText {
    std::string_view text;
    bool cut = false;
};
ShownText shownText(std::string_view text);
// The note under a text that was cut.
std::string shownTextCutNote();

// The sources a bubble shows: none when the host hides them.
std::vector<AnswerSource> visibleSources(const ChatMessage& message, bool showsSources);
bool showsStatusSection(const ChatMessage& message, bool showsSources);

// --- Memory receipts ------------------------------------------------------------------------

bool isAutoSave(const MemoryReceipt& receipt);
// The auto-saves and the others, each in the answer's order.
struct ReceiptGroups {
    std::vector<MemoryReceipt> autoSaves;
    std::vector<MemoryReceipt> others;
};
ReceiptGroups groupReceipts(const std::vector<MemoryReceipt>& receipts);
std::string statusSymbol(MemoryReceiptStatus status);
std::string receiptRowTooltip(MemoryReceiptStatus status);
std::string receiptRowAccessibleName(const MemoryReceipt& receipt);
std::string autoSaveRowLabel(MemoryReceiptStatus status);
std::string autoSaveRowTooltip(MemoryReceiptStatus status);

// --- Answer sources -------------------------------------------------------------------------

inline constexpr std::size_t initialSources = 6;
inline constexpr std::size_t sourcesThreshold = 7;
inline constexpr std::size_t initialSupportingMessages = 3;
inline constexpr std::size_t messagesThreshold = 4;

std::string sourcesToggleTitle(std::size_t count);
std::size_t shownSourceCount(std::size_t total, bool showsAll);
// "Show 1 more" / "Show fewer"; nothing below the threshold.
std::optional<std::string> moreSourcesTitle(std::size_t total, bool showsAll);
std::size_t shownMessageCount(std::size_t total, bool expanded);
std::optional<std::string> moreMessagesTitle(std::size_t total, bool expanded);
std::string rowCountText(std::int64_t rowCount);
// "5m ago", "3h ago", "2d ago"; a future time reads as a minute ago.
std::string relativeAge(std::int64_t timestampUnix, std::int64_t nowUnix);

// --- Links ----------------------------------------------------------------------------------

// Only web links are opened from an answer: model output may carry file: or custom schemes.
bool opensLink(std::string_view url);

// The address a source card's "Open in Messages" follows: only where a Messages application
// answers it (`messagesAppPresent`); elsewhere the card has no such control.
std::optional<std::string> sourceMessagesLink(const ConversationSource& source,
                                              bool messagesAppPresent);

// What the chat names when `url` did not open: "the conversation in Messages" for a Messages
// link, "the link" for anything else.
std::string openedThing(std::string_view url);

}  // namespace vask::chat_presentation
