#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/main_window_chat.h"
#include "shell/sidebar_selection.h"
#include "store/awaiting_reply.h"

namespace vask {

namespace sidebar {

// The last message's text on one line: trimmed, each line break inside a blank; "" without
// messages.
std::string preview(const ChatSession& session);

// How long ago, in abbreviated units: "now", "5 min. ago", "2 hr. ago", "3 days ago",
// "2 wk. ago", "4 mo. ago", "1 yr. ago"; "in 5 min." for a time ahead.
std::string relativeTime(std::int64_t secondsAgo);

enum class Overlay { none, noChats, noSearchResults };

Overlay overlay(bool noSavedSessions, bool noAwaitingReplies, bool noSessionsShown,
                std::string_view searchText);

// The awaiting row is there whenever proactive surfaces are on and anything awaits; its count
// is of the replies within the display window only.
bool showsAwaitingRow(bool showsProactive, const std::vector<AwaitingReply>& replies);

// What a row `rowWidth` pixels wide leaves for its one elidable text (a label, a title or a
// preview) once the parts that are always shown whole (margins, icon, badge, age, gaps) have
// theirs; never below nothing. The text is elided with "…" to that width.
int textSpace(int rowWidth, std::initializer_list<int> wholeParts);
std::int64_t awaitingCount(const std::vector<AwaitingReply>& replies, int displayDays,
                           std::int64_t nowUnixSeconds);

}  // namespace sidebar

class SessionFilter;

namespace sidebar {

// Everything the sidebar's rows show. The list changes only when this changes: a
// synchronisation starting or ending, or the awaiting replies read again, mostly changes nothing
// the rows show.
struct RowsShown {
    struct Session {
        std::string id;
        std::string title;
        std::string preview;
        std::string age;
        bool selected = false;
        bool operator==(const Session&) const = default;
    };
    // The awaiting row's count, when the row is there.
    std::optional<std::int64_t> awaitingCount;
    bool awaitingSelected = false;
    std::vector<Session> sessions;
    Overlay overlay = Overlay::none;
    std::string searchText;
    bool operator==(const RowsShown&) const = default;
};

struct RowsInput {
    const SessionFilter& filter;
    std::string_view searchText;
    const std::optional<SidebarSelection>& selection;
    bool showsProactive = false;
    const std::vector<AwaitingReply>& replies;
    int displayDays = 0;
    std::int64_t nowUnixSeconds = 0;
};

RowsShown rowsShown(const RowsInput& input);

}  // namespace sidebar

// The saved sessions with what the list shows and searches of each, and the search over them.
// Built once per change of the sessions, so typing in the search field only compares text.
class SessionFilter {
  public:
    struct Row {
        std::shared_ptr<const ChatSession> session;
        std::string preview;
    };

    explicit SessionFilter(MainWindowChat::SessionList sessions);

    const std::vector<Row>& rows() const { return rows_; }
    // The rows whose title, or else last message, contains the trimmed query ignoring case, in
    // order; every row for a blank query.
    std::vector<const Row*> filter(std::string_view searchText) const;

  private:
    std::vector<Row> rows_;
    std::vector<std::string> foldedTitles_;
    std::vector<std::string> foldedPreviews_;
};

// The sidebar's transient state (search, rename alert, delete confirmation) and what its actions
// ask of the chat. Every change to a session goes through the chat.
class SessionSidebarModel {
  public:
    explicit SessionSidebarModel(MainWindowChat& chat) : chat_(chat) {}

    std::string searchText;

    // Rename alert: open while renamingID() holds an id.
    void beginRename(const ChatSession& session);
    const std::optional<std::string>& renamingID() const { return renamingID_; }
    std::string renameDraft;
    // Passes the draft as typed; the chat trims it and ignores a blank one.
    void commitRename();
    void cancelRename() { renamingID_.reset(); }

    // Delete confirmation: open while pendingDeletion() holds a session.
    void requestDeletion(std::shared_ptr<const ChatSession> session);
    const std::shared_ptr<const ChatSession>& pendingDeletion() const { return pendingDeletion_; }
    void confirmDeletion();
    void cancelDeletion() { pendingDeletion_.reset(); }

    // "New Chat": returns what the window should select.
    SidebarSelection newChat();

  private:
    MainWindowChat& chat_;
    std::optional<std::string> renamingID_;
    std::shared_ptr<const ChatSession> pendingDeletion_;
};

}  // namespace vask
