#include "chat/chat_presenters.h"

#include "chat/chat_view_model.h"

#include <algorithm>
#include <cmath>

#include "engine/token_count_format.h"
#include "platform/text.h"
#include "platform/url.h"

namespace vask::chat_presentation {

namespace {

constexpr std::string_view separator = " \xC2\xB7 ";

std::string joined(const std::vector<std::string>& parts, std::string_view glue) {
    std::string out;
    for (const auto& part : parts) {
        if (!out.empty()) {
            out += glue;
        }
        out += part;
    }
    return out;
}

std::string category(std::string_view label, const std::optional<std::int64_t>& value,
                     std::string_view locale) {
    if (!value) {
        return std::string(label) + " \xE2\x80\x94";
    }
    return std::string(label) + " " + TokenCountFormat::compact(*value, locale);
}

}  // namespace

// --- Token usage ------------------------------------------------------------------------------

std::string roleDetail(std::string_view role, const TokenUsageBreakdown& breakdown,
                       std::string_view locale) {
    std::vector<std::string> items;
    const auto add = [&](std::string_view label, const std::optional<std::int64_t>& value) {
        if (value) {
            items.push_back(std::string(label) + TokenCountFormat::exact(*value, locale));
        }
    };
    add("input ", breakdown.inputTokens);
    add("output ", breakdown.outputTokens);
    add("cache read ", breakdown.cacheReadTokens);
    add("cache write ", breakdown.cacheCreationTokens);
    add("reasoning ", breakdown.reasoningTokens);
    if (breakdown.requests) {
        items.push_back(TokenCountFormat::exact(*breakdown.requests, locale) + " calls");
    }
    if (items.empty()) {
        return {};
    }
    return std::string(role) + ": " + joined(items, ", ");
}

TokenUsageTexts tokenUsageTexts(const ChatTokenUsage& usage, std::string_view locale) {
    TokenUsageTexts texts;
    texts.totalSummary = joined(
        {usage.totalTokens ? TokenCountFormat::compact(*usage.totalTokens, locale) + " tokens"
                           : std::string("tokens \xE2\x80\x94"),
         category("root", usage.root.totalTokens, locale),
         category("subcalls", usage.subcall.totalTokens, locale)},
        separator);

    // With no role reporting a counter the sums are unknown, not zero.
    const bool anyActive = usage.root.isActive() || usage.subcall.isActive();
    const auto sum = [&](TokenUsageBreakdown::Field field) -> std::optional<std::int64_t> {
        return anyActive ? usage.summedRoleCategory(field) : std::nullopt;
    };
    const auto cacheRead = sum(&TokenUsageBreakdown::cacheReadTokens);
    const auto cacheWrite = sum(&TokenUsageBreakdown::cacheCreationTokens);
    const auto reasoning = sum(&TokenUsageBreakdown::reasoningTokens);
    const bool complete = cacheRead && cacheWrite && reasoning;
    std::vector<std::string> categories = {category("cache read", cacheRead, locale),
                                           category("cache write", cacheWrite, locale),
                                           category("reasoning", reasoning, locale)};
    if (!complete) {
        categories.emplace_back("some metrics unavailable");
    }
    texts.categorySummary = joined(categories, separator);

    std::vector<std::string> details = {complete ? "Complete category breakdown"
                                                 : "Some provider metrics unavailable"};
    for (auto entry :
         {roleDetail("Root", usage.root, locale), roleDetail("Subcalls", usage.subcall, locale)}) {
        if (!entry.empty()) {
            details.push_back(std::move(entry));
        }
    }
    texts.detail = joined(details, ". ");
    return texts;
}

bool showsTokenUsage(const std::optional<ChatTokenUsage>& usage) {
    if (!usage) {
        return false;
    }
    const auto counts = [](const TokenUsageBreakdown& b) {
        return b.inputTokens || b.outputTokens || b.totalTokens || b.cacheReadTokens ||
               b.cacheCreationTokens || b.reasoningTokens;
    };
    return usage->totalTokens || counts(usage->root) || counts(usage->subcall);
}

// --- The chat view --------------------------------------------------------------------------

bool canSend(bool isReady, std::string_view inputText, const ChatState& state) {
    return isReady && !text::trimmed(inputText).empty() && !state.isSending();
}

std::string progressText(const ChatState& state) {
    if (const auto* sending = state.asSending(); sending && sending->progress) {
        return *sending->progress;
    }
    return "reading your messages\xE2\x80\xA6";
}

std::optional<std::string_view> shownReasoning(const ChatState& state) {
    if (const auto* sending = state.asSending();
        sending && sending->reasoning && !sending->reasoning->empty()) {
        return std::string_view(*sending->reasoning);
    }
    return std::nullopt;
}

std::optional<std::string> errorRowText(const ChatState& ended) {
    if (const auto* failed = ended.asFailed()) {
        return failed->error;
    }
    return std::nullopt;
}

std::optional<std::string> keyringRowText(const ChatState& current, bool keyringLocked,
                                          bool unlocking) {
    using Problem = ChatState::CredentialProblem;
    const auto* failed = current.asFailed();
    // A question the keyring holds back has its own row, which follows the keyring: none beside.
    if (!keyringLocked || current.isSending() ||
        (failed != nullptr && !ChatViewModel::heldText(failed->credentials).empty())) {
        return std::nullopt;
    }
    return std::string(
        ChatViewModel::heldText(unlocking ? Problem::keyringUnlocking : Problem::keyringLocked));
}

std::optional<std::string_view> keyringRowAction(bool unlocking) {
    return unlocking ? std::nullopt : std::optional(unlockKeyringAction);
}

std::optional<std::string_view> errorRowAction(const ChatState& ended, bool keyringLocked) {
    const auto* failed = ended.asFailed();
    const auto problem =
        failed != nullptr ? failed->credentials : ChatState::CredentialProblem::none;
    if (keyringLocked && problem == ChatState::CredentialProblem::keyringLocked) {
        return unlockKeyringAction;
    }
    if (problem == ChatState::CredentialProblem::keyringNotAnswering ||
        problem == ChatState::CredentialProblem::keyringNotAvailable) {
        return askKeyringAgainAction;
    }
    return std::nullopt;
}

UsageLimitCopy usageLimitCopy(AuthType authType, const std::optional<std::string>& tierCode) {
    if (authType == AuthType::apiKey) {
        return {"Your Corvane developer limit was reached",
                "Review your separate Corvane developer account to continue.", "Open Corvane",
                std::nullopt};
    }
    const std::string footnote =
        "Payments are processed securely by Corvane, Vask's billing platform.";
    if (tierCode == "max") {
        return {"You've used this month's Vask Max allowance",
                "Your allowance renews at the start of your next billing period.",
                "Manage Subscription", footnote};
    }
    if (tierCode == "pro") {
        return {"You've used this month's Vask allowance",
                "Upgrade to Vask Max for a larger monthly allowance.", "Upgrade to Max", footnote};
    }
    return {"You've used this month's Vask allowance",
            "Upgrade to Vask Pro for a larger monthly allowance.", "Upgrade to Pro", footnote};
}

std::optional<std::string> usageLimitTarget(AuthType authType, std::string_view accountURL) {
    const std::string_view target =
        authType == AuthType::customerToken ? accountURL : relayPlatformURL;
    if (!Url::parse(target)) {
        return std::nullopt;
    }
    return std::string(target);
}

ComposerHeight composerHeight(double contentHeight, double lineHeight) {
    const double content = std::max(lineHeight, contentHeight);
    const double cap = composerMaxLines * lineHeight;
    if (content > cap) {
        return {cap, true};
    }
    return {content, false};
}

bool composerHeightChanged(double current, double proposed) {
    return std::abs(current - proposed) > 0.5;
}

// --- The message bubble ---------------------------------------------------------------------

std::vector<AnswerSource> visibleSources(const ChatMessage& message, bool showsSources) {
    if (!showsSources || !message.sources) {
        return {};
    }
    return *message.sources;
}

ShownText shownText(std::string_view text) {
    // Bytes first: a text that short cannot have more characters than the limit.
    if (text.size() <= maxShownCharacters) {
        return {text, false};
    }
    const auto prefix = text::graphemePrefix(text, maxShownCharacters);
    return {prefix, prefix.size() < text.size()};
}

std::string shownTextCutNote() {
    return "Too long to show in full: only the first " +
           TokenCountFormat::exact(static_cast<std::int64_t>(maxShownCharacters), "en_US") +
           " characters are shown here. The whole text stays in this chat\xE2\x80\x99s history.";
}

bool showsStatusSection(const ChatMessage& message, bool showsSources) {
    if (message.role != ChatRole::assistant) {
        return false;
    }
    const bool hasSources = showsSources && message.sources && !message.sources->empty();
    const bool hasReceipts = message.memoryReceipts && !message.memoryReceipts->empty();
    return message.extracted.value_or(false) || hasSources || hasReceipts;
}

// --- Memory receipts ------------------------------------------------------------------------

bool isAutoSave(const MemoryReceipt& receipt) {
    return receipt.operation == MemoryMutationOperation::suggest &&
           receipt.provenance == MemoryProvenance::inferred;
}

ReceiptGroups groupReceipts(const std::vector<MemoryReceipt>& receipts) {
    ReceiptGroups groups;
    for (const auto& receipt : receipts) {
        (isAutoSave(receipt) ? groups.autoSaves : groups.others).push_back(receipt);
    }
    return groups;
}

std::string statusSymbol(MemoryReceiptStatus status) {
    switch (status) {
        case MemoryReceiptStatus::committed:
            return "checkmark.circle.fill";
        case MemoryReceiptStatus::undone:
            return "arrow.uturn.backward.circle.fill";
        case MemoryReceiptStatus::failed:
            break;
    }
    return "exclamationmark.circle";
}

std::string receiptRowTooltip(MemoryReceiptStatus status) {
    return status == MemoryReceiptStatus::committed
               ? "Committed to private memory on this device"
               : "The requested memory change was not committed";
}

std::string receiptRowAccessibleName(const MemoryReceipt& receipt) {
    const auto detail = receipt.detail();
    return detail ? receipt.label() + ", " + *detail : receipt.label();
}

std::string autoSaveRowLabel(MemoryReceiptStatus status) {
    return status == MemoryReceiptStatus::committed ? "Saved to memory:" : "Removed from memory:";
}

std::string autoSaveRowTooltip(MemoryReceiptStatus status) {
    return status == MemoryReceiptStatus::committed ? "Auto-saved to private memory on this device"
                                                    : "Removed from private memory on this device";
}

// --- Answer sources -------------------------------------------------------------------------

std::string sourcesToggleTitle(std::size_t count) {
    return "Sources (" + std::to_string(count) + ")";
}

std::size_t shownSourceCount(std::size_t total, bool showsAll) {
    return showsAll ? total : std::min(total, initialSources);
}

std::optional<std::string> moreSourcesTitle(std::size_t total, bool showsAll) {
    if (total < sourcesThreshold) {
        return std::nullopt;
    }
    if (showsAll) {
        return std::string("Show fewer");
    }
    return "Show " + std::to_string(total - shownSourceCount(total, false)) + " more";
}

std::size_t shownMessageCount(std::size_t total, bool expanded) {
    return expanded ? total : std::min(total, initialSupportingMessages);
}

std::optional<std::string> moreMessagesTitle(std::size_t total, bool expanded) {
    if (total < messagesThreshold) {
        return std::nullopt;
    }
    if (expanded) {
        return std::string("Show fewer messages");
    }
    return "Show " + std::to_string(total - shownMessageCount(total, false)) + " more messages";
}

std::string rowCountText(std::int64_t rowCount) {
    return std::to_string(rowCount) + (rowCount == 1 ? " row" : " rows");
}

std::string relativeAge(std::int64_t timestampUnix, std::int64_t nowUnix) {
    // Saturating: a corrupt timestamp far in the past or future must not overflow.
    std::int64_t delta = 0;
    if (__builtin_sub_overflow(nowUnix, timestampUnix, &delta)) {
        delta = timestampUnix > nowUnix ? INT64_MIN : INT64_MAX;
    }
    if (delta < 3600) {
        return std::to_string(std::max<std::int64_t>(1, delta / 60)) + "m ago";
    }
    if (delta >= 86400) {
        return std::to_string(delta / 86400) + "d ago";
    }
    return std::to_string(delta / 3600) + "h ago";
}

// --- Links ----------------------------------------------------------------------------------

std::optional<std::string> sourceMessagesLink(const ConversationSource& source,
                                              bool messagesAppPresent) {
    if (!messagesAppPresent || !source.messagesTarget) {
        return std::nullopt;
    }
    return source.messagesTarget->url();
}

std::string openedThing(std::string_view url) {
    const auto parsed = Url::parse(url);
    const bool messages = parsed && text::asciiLowered(parsed->scheme()) ==
                                        text::asciiLowered(MessagesTarget::scheme);
    return messages ? "the conversation in Messages" : "the link";
}

bool opensLink(std::string_view url) {
    const auto parsed = Url::parse(url);
    if (!parsed) {
        return false;
    }
    const std::string scheme = text::asciiLowered(parsed->scheme());
    return (scheme == "http" || scheme == "https") && !parsed->host().empty();
}

}  // namespace vask::chat_presentation
