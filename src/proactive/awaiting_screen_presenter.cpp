#include "proactive/awaiting_screen_presenter.h"

#include <algorithm>
#include <unordered_map>

#include "foundation/app_environment.h"
#include "platform/text.h"
#include "proactive/awaiting_read_state.h"
#include "proactive/log_privacy.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"

namespace vask {
namespace {

bool verdictOf(const NeedsReplyService::Verdicts& verdicts, const std::string& chatId) {
    const auto found = verdicts.find(chatId);
    return found != verdicts.end() && found->second;
}

std::string lastDaysText(int days) {
    return "Last " + std::to_string(days) + " days";
}

}  // namespace

AwaitingScreenPresenter::AwaitingScreenPresenter(Dependencies dependencies)
    : deps_(std::move(dependencies)) {
    auto seams = deps_.draftSeams;
    seams.openInMessages = nullptr;
    if (deps_.messagesAppPresent) {
        seams.openInMessages = [this](const std::string& handle) { openInMessages(handle); };
    }
    drafts_ =
        std::make_shared<ReplyDrafts>(std::move(seams), deps_.clipboard, deps_.main, deps_.worker);
    answered_ = deps_.viewModel->replies().subscribe(
        [drafts = drafts_](const std::vector<AwaitingReply>& replies) {
            drafts->closeIfAnswered(replies);
        },
        Delivery::changesOnly);
}

AwaitingScreenPresenter::~AwaitingScreenPresenter() {
    *alive_ = false;
}

Subscription AwaitingScreenPresenter::observe(std::function<void()> changed) {
    auto shared = std::make_shared<std::function<void()>>(std::move(changed));
    std::vector<Subscription> parts;
    parts.push_back(deps_.viewModel->replies().subscribe(
        [shared](const std::vector<AwaitingReply>&) { (*shared)(); }, Delivery::changesOnly));
    parts.push_back(deps_.needsReply->verdicts().subscribe(
        [shared](const NeedsReplyService::Verdicts&) { (*shared)(); }, Delivery::changesOnly));
    parts.push_back(drafts_->draft().subscribe(
        [shared](const std::optional<DraftState>&) { (*shared)(); }, Delivery::changesOnly));
    // A notification tap may have chosen another day window before bringing the screen up.
    parts.push_back(deps_.viewModel->pendingFocus().subscribe([shared](bool) { (*shared)(); },
                                                              Delivery::changesOnly));
    parts.push_back(releases_.subscribe([shared](int) { (*shared)(); }, Delivery::changesOnly));
    parts.push_back(openFailure_.subscribe(
        [shared](const std::optional<std::string>&) { (*shared)(); }, Delivery::changesOnly));
    auto held = std::make_shared<std::vector<Subscription>>(std::move(parts));
    return Subscription([held] { held->clear(); });
}

std::vector<AwaitingReply> AwaitingScreenPresenter::displayedReplies() const {
    return AwaitingReplyDisplayFilter::apply(deps_.viewModel->replies().get(), deps_.displayDays(),
                                             deps_.now());
}

bool AwaitingScreenPresenter::personaDraftsOn() const {
    return PersonaDrafts::isEnabled(deps_.settings);
}

std::vector<AwaitingReply> AwaitingScreenPresenter::orderedReplies(std::int64_t now,
                                                                   int window) const {
    auto ordered =
        sorted(AwaitingReplyDisplayFilter::apply(deps_.viewModel->replies().get(), window, now),
               deps_.needsReply->verdicts().get());
    return heldOrder_ ? inShownOrder(std::move(ordered), *heldOrder_) : ordered;
}

void AwaitingScreenPresenter::holdOrder(bool held) {
    if (held == holdsOrder()) {
        return;
    }
    if (!held) {
        heldOrder_.reset();
        releases_.set(releases_.get() + 1);
        return;
    }
    std::vector<std::string> shown;
    const auto days = AwaitingReplyDisplayFilter::effectiveDays(deps_.displayDays());
    for (const auto& reply : orderedReplies(deps_.now(), days)) {
        shown.push_back(reply.chatId);
    }
    heldOrder_ = std::move(shown);
}

AwaitingScreenContent AwaitingScreenPresenter::content() const {
    AwaitingScreenContent content;
    const int window = AwaitingReplyDisplayFilter::effectiveDays(deps_.displayDays());
    const std::int64_t now = deps_.now();
    const auto& all = deps_.viewModel->replies().get();
    const auto& verdicts = deps_.needsReply->verdicts().get();
    const auto displayed = AwaitingReplyDisplayFilter::apply(all, window, now);
    const bool persona = personaDraftsOn();

    content.dayWindow = window;
    content.placeholderDescription =
        all.empty() ? nothingWaitingText
                    : "No one has been waiting in the last " + std::to_string(window) + " days.";
    content.showsDayMenu = !all.empty();
    content.dayMenuLabel = lastDaysText(window);
    content.dayMenuHelp = "Show conversations from the last " + std::to_string(window) + " days";
    for (const int days : AwaitingReplyDisplayFilter::choices) {
        content.dayChoices.push_back({days, lastDaysText(days), days == window});
    }
    content.showsMarkAllAsRead = !displayed.empty();
    content.draftLabel = persona ? "Draft in your voice" : "Draft a reply";
    content.draftSymbol = persona ? "signature" : "pencil.and.outline";
    content.draftHelp = persona ? "Drafts a reply that sounds like you, learned from your own texts"
                                : "Drafts a reply you can edit before sending";
    if (drafts_->opensMessages()) {
        content.sendLabel = ReplyDrafts::sendTitle;
        content.sendSymbol = "paperplane.fill";
        content.sendHelp = "Copies the draft and opens Messages \xE2\x80\x94 press Ctrl+V to paste";
    } else {
        content.sendLabel = ReplyDrafts::copyTitle;
        content.sendSymbol = "doc.on.doc";
        content.sendHelp = "Copies the draft, to paste in your messages app";
    }
    content.openFailure = openFailure_.get();

    const auto& draft = drafts_->draft().get();
    for (auto& reply : orderedReplies(now, window)) {
        AwaitingRowContent row;
        row.initials = initials(reply.contactName);
        row.age = relativeAge(reply.effectiveTimestampUnix(), now);
        row.needsReply = verdictOf(verdicts, reply.chatId);
        if (draft && draft->chatId == reply.chatId) {
            DraftEditorContent editor;
            editor.isLoading = draft->isLoading;
            editor.loadingCaption =
                persona ? "Drafting in your voice\xE2\x80\xA6" : "Drafting a reply\xE2\x80\xA6";
            editor.text = draft->text;
            editor.tooltip = personaFootnote(draft->personaTier, reply.contactName).value_or("");
            editor.status = draft->failure;
            editor.notice = draft->notice;
            editor.sendEnabled = ReplyDrafts::canSend(draft);
            row.editor = std::move(editor);
        }
        row.reply = std::move(reply);
        content.rows.push_back(std::move(row));
    }
    return content;
}

void AwaitingScreenPresenter::chooseDayWindow(int days) {
    deps_.setDisplayDays(days);
}

void AwaitingScreenPresenter::markAllAsRead() {
    const auto displayed = displayedReplies();
    logger_.info("awaiting_reply_mark_all_read", {{"count", std::to_string(displayed.size())}});
    deps_.viewModel->markAllAsRead(displayed);
}

void AwaitingScreenPresenter::markAsRead(const AwaitingReply& reply) {
    logger_.info("awaiting_reply_mark_read", {{"chat_id", loggableIdentifier(reply.chatId)}});
    deps_.viewModel->markAsRead(reply);
}

void AwaitingScreenPresenter::catchUp(const AwaitingReply& reply) {
    logger_.info("awaiting_reply_catch_up", {{"chat_id", loggableIdentifier(reply.chatId)}});
    if (deps_.onCatchUp) {
        deps_.onCatchUp(reply);
    }
}

void AwaitingScreenPresenter::reveal(const AwaitingReply& reply) {
    if (!offersReveal()) {
        logger_.warning("awaiting_reply_reveal_unavailable",
                        {{"chat_id", loggableIdentifier(reply.chatId)}});
        return;
    }
    openInMessages(reply.sender);
}

void AwaitingScreenPresenter::openInMessages(const std::string& handle) {
    const auto url = messagesURL(handle);
    if (!url) {
        logger_.error("awaiting_reply_reveal_failed", {{"handle", loggableIdentifier(handle)}});
        return;
    }
    logger_.info("awaiting_reply_reveal", {{"handle", loggableIdentifier(handle)}});
    openFailure_.set(std::nullopt);
    // The opener's verdict comes on a thread of its own, once the desktop has had its say.
    deps_.urlOpener.openReporting(
        *url, [this, alive = alive_, &main = deps_.main,
               handle = loggableIdentifier(handle)](std::optional<std::string> failure) {
            if (!failure) {
                return;
            }
            main.post([this, alive, handle, failure = std::move(failure)] {
                if (!*alive) {
                    return;
                }
                logger_.error("awaiting_reply_reveal_failed",
                              {{"handle", handle}, {"error", *failure}});
                openFailure_.set(openFailureText("the conversation in Messages", *failure));
            });
        });
}

std::vector<AwaitingReply> AwaitingScreenPresenter::sorted(
    std::vector<AwaitingReply> replies, const NeedsReplyService::Verdicts& verdicts) {
    std::stable_sort(replies.begin(), replies.end(),
                     [&verdicts](const AwaitingReply& a, const AwaitingReply& b) {
                         const bool va = verdictOf(verdicts, a.chatId);
                         const bool vb = verdictOf(verdicts, b.chatId);
                         if (va != vb) {
                             return va;
                         }
                         return a.timestamp > b.timestamp;
                     });
    return replies;
}

std::vector<AwaitingReply> AwaitingScreenPresenter::inShownOrder(
    std::vector<AwaitingReply> replies, const std::vector<std::string>& shown) {
    std::unordered_map<std::string_view, std::size_t> place;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        place.emplace(shown[i], i);
    }
    const auto rank = [&place](const AwaitingReply& reply) {
        const auto found = place.find(reply.chatId);
        return found == place.end() ? place.size() : found->second;
    };
    std::stable_sort(
        replies.begin(), replies.end(),
        [&rank](const AwaitingReply& a, const AwaitingReply& b) { return rank(a) < rank(b); });
    return replies;
}

std::string AwaitingScreenPresenter::initials(std::string_view name) {
    std::string letters;
    int pieces = 0;
    std::size_t start = 0;
    while (start <= name.size() && pieces < 2) {
        const auto end = std::min(name.find(' ', start), name.size());
        const auto piece = name.substr(start, end - start);
        if (!piece.empty()) {
            letters += text::graphemePrefix(piece, 1);
            ++pieces;
        }
        start = end + 1;
    }
    return text::toUpper(letters);
}

std::string AwaitingScreenPresenter::relativeAge(std::int64_t timestamp, std::int64_t now) {
    const std::int64_t delta = now - timestamp;
    if (delta < 3600) {
        return std::to_string(std::max<std::int64_t>(1, delta / 60)) + "m ago";
    }
    if (delta >= 86400) {
        return std::to_string(delta / 86400) + "d ago";
    }
    return std::to_string(delta / 3600) + "h ago";
}

std::optional<std::string> AwaitingScreenPresenter::personaFootnote(
    const std::optional<std::string>& tier, std::string_view contactName) {
    if (tier == "persona") {
        return "Sounds like you \xE2\x80\x94 from your texts with " + std::string(contactName);
    }
    if (tier == "global-only") {
        return std::string("Sounds like you \xE2\x80\x94 from your recent texts");
    }
    return std::nullopt;
}

std::optional<std::string> AwaitingScreenPresenter::messagesURL(std::string_view handle) {
    if (text::trimmed(handle).empty()) {
        return std::nullopt;
    }
    return MessagesTarget{std::string(handle)}.url();
}

std::function<int()> AwaitingScreenPresenter::storedDisplayDays(const UserDefaults& defaults) {
    return [&defaults,
            key = AppEnvironment::instanceScopedKey(AwaitingReplyDisplayFilter::defaultsKeyBase)] {
        const auto stored = defaults.integerValue(key).valueOr(7);
        return stored >= 0 && stored <= 3650 ? static_cast<int>(stored) : 7;
    };
}

std::function<void(int)> AwaitingScreenPresenter::storeDisplayDays(UserDefaults& defaults) {
    return [&defaults,
            key = AppEnvironment::instanceScopedKey(AwaitingReplyDisplayFilter::defaultsKeyBase)](
               int days) { defaults.set(key, days); };
}

}  // namespace vask
