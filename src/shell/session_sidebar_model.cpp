#include "shell/session_sidebar_model.h"

#include <algorithm>
#include <chrono>

#include "platform/text.h"
#include "proactive/awaiting_read_state.h"

namespace vask {
namespace sidebar {

std::string preview(const ChatSession& session) {
    if (session.messages.empty()) {
        return "";
    }
    std::string line(text::trimmed(session.messages.back().text));
    for (char& c : line) {
        if (c == '\n') {
            c = ' ';
        }
    }
    return line;
}

std::string relativeTime(std::int64_t secondsAgo) {
    const bool ahead = secondsAgo < 0;
    const std::int64_t span = ahead ? -secondsAgo : secondsAgo;
    struct Unit {
        std::int64_t seconds;
        const char* one;
        const char* many;
    };
    static constexpr Unit units[] = {
        {std::int64_t{365} * 86400, "yr.", "yr."},
        {std::int64_t{30} * 86400, "mo.", "mo."},
        {std::int64_t{7} * 86400, "wk.", "wk."},
        {86400, "day", "days"},
        {3600, "hr.", "hr."},
        {60, "min.", "min."},
        {1, "sec.", "sec."},
    };
    if (span == 0) {
        return "now";
    }
    for (const auto& unit : units) {
        if (span >= unit.seconds) {
            const std::int64_t count = span / unit.seconds;
            const std::string amount =
                std::to_string(count) + " " + (count == 1 ? unit.one : unit.many);
            return ahead ? "in " + amount : amount + " ago";
        }
    }
    return "now";
}

Overlay overlay(bool noSavedSessions, bool noAwaitingReplies, bool noSessionsShown,
                std::string_view searchText) {
    if (noSavedSessions && noAwaitingReplies) {
        return Overlay::noChats;
    }
    if (noSessionsShown && !searchText.empty()) {
        return Overlay::noSearchResults;
    }
    return Overlay::none;
}

bool showsAwaitingRow(bool showsProactive, const std::vector<AwaitingReply>& replies) {
    return showsProactive && !replies.empty();
}

int textSpace(int rowWidth, std::initializer_list<int> wholeParts) {
    int left = rowWidth;
    for (const int part : wholeParts) {
        left -= std::max(part, 0);
    }
    return std::max(left, 0);
}

std::int64_t awaitingCount(const std::vector<AwaitingReply>& replies, int displayDays,
                           std::int64_t nowUnixSeconds) {
    return static_cast<std::int64_t>(
        AwaitingReplyDisplayFilter::apply(replies, displayDays, nowUnixSeconds).size());
}

}  // namespace sidebar

namespace sidebar {

RowsShown rowsShown(const RowsInput& input) {
    RowsShown rows;
    const auto& selection = input.selection;
    if (showsAwaitingRow(input.showsProactive, input.replies)) {
        rows.awaitingCount = awaitingCount(input.replies, input.displayDays, input.nowUnixSeconds);
        rows.awaitingSelected =
            selection && selection->kind() == SidebarSelection::Kind::awaitingReplies;
    }
    const bool chatSelected = selection && selection->isChat();
    const auto shown = input.filter.filter(input.searchText);
    rows.sessions.reserve(shown.size());
    for (const auto* row : shown) {
        const auto lastAt = std::chrono::duration_cast<std::chrono::seconds>(
                                row->session->lastMessageAt.time_since_epoch())
                                .count();
        rows.sessions.push_back({
            .id = row->session->id,
            .title = row->session->title,
            .preview = row->preview,
            .age = relativeTime(input.nowUnixSeconds - lastAt),
            .selected = chatSelected && selection->sessionID() == row->session->id,
        });
    }
    rows.overlay = overlay(input.filter.rows().empty(), input.replies.empty(), shown.empty(),
                           input.searchText);
    rows.searchText = std::string(input.searchText);
    return rows;
}

}  // namespace sidebar

SessionFilter::SessionFilter(MainWindowChat::SessionList sessions) {
    rows_.reserve(sessions.size());
    foldedTitles_.reserve(sessions.size());
    foldedPreviews_.reserve(sessions.size());
    for (auto& session : sessions) {
        auto line = sidebar::preview(*session);
        foldedTitles_.push_back(text::toLower(session->title));
        foldedPreviews_.push_back(text::toLower(line));
        rows_.push_back({std::move(session), std::move(line)});
    }
}

std::vector<const SessionFilter::Row*> SessionFilter::filter(std::string_view searchText) const {
    const std::string query = text::toLower(text::trimmed(searchText));
    std::vector<const Row*> shown;
    shown.reserve(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (query.empty() || foldedTitles_[i].find(query) != std::string::npos ||
            foldedPreviews_[i].find(query) != std::string::npos) {
            shown.push_back(&rows_[i]);
        }
    }
    return shown;
}

void SessionSidebarModel::beginRename(const ChatSession& session) {
    renameDraft = session.title;
    renamingID_ = session.id;
}

void SessionSidebarModel::commitRename() {
    if (auto id = std::exchange(renamingID_, std::nullopt)) {
        chat_.renameSession(*id, renameDraft);
    }
}

void SessionSidebarModel::requestDeletion(std::shared_ptr<const ChatSession> session) {
    pendingDeletion_ = std::move(session);
}

void SessionSidebarModel::confirmDeletion() {
    if (auto session = std::exchange(pendingDeletion_, nullptr)) {
        chat_.deleteSession(session->id);
    }
}

SidebarSelection SessionSidebarModel::newChat() {
    chat_.startNewSession();
    return SidebarSelection::chat(chat_.currentSessionID());
}

}  // namespace vask
