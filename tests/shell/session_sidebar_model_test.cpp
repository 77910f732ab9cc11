#include <gtest/gtest.h>

#include <chrono>

#include "shell/chat_stand_in.h"
#include "shell/session_sidebar_model.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using testing::ChatStandIn;

std::vector<std::string> ids(const std::vector<const SessionFilter::Row*>& rows) {
    std::vector<std::string> out;
    for (const auto* row : rows) {
        out.push_back(row->session->id);
    }
    return out;
}

TEST(SessionSidebar, PreviewIsTheLastMessageOnOneLine) {
    EXPECT_EQ(sidebar::preview(ChatStandIn::session("a", "t", {}, 0)), "");
    EXPECT_EQ(sidebar::preview(ChatStandIn::session("a", "t", {"first", "  two\nlines\n "}, 0)),
              "two lines");
    EXPECT_EQ(sidebar::preview(ChatStandIn::session("a", "t", {" \n\t "}, 0)), "");
}

TEST(SessionSidebar, SearchMatchesTitleOrLastMessageIgnoringCase) {
    SessionFilter filter({
        std::make_shared<const ChatSession>(
            ChatStandIn::session("trip", "Trip to Lisbon", {"Pack the tickets"}, 1)),
        std::make_shared<const ChatSession>(
            ChatStandIn::session("dinner", "Dinner", {"Ask about Lisbon", "Pasta at eight"}, 2)),
        std::make_shared<const ChatSession>(
            ChatStandIn::session("cafe", "Caf\u00c9 notes", {"Flat white"}, 3)),
    });
    struct Case {
        const char* query;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"", {"trip", "dinner", "cafe"}},
        {" \n\t", {"trip", "dinner", "cafe"}},
        {"LISBON", {"trip"}},  // older messages than the last one are not searched
        {"pasta", {"dinner"}},
        {"  tickets ", {"trip"}},
        {"caf\u00e9", {"cafe"}},
        {"nothing here", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(ids(filter.filter(c.query)), c.expected);
    }
}

TEST(SessionSidebar, EmptyStateOverlay) {
    using sidebar::Overlay;
    EXPECT_EQ(sidebar::overlay(true, true, true, "anything"), Overlay::noChats);
    EXPECT_EQ(sidebar::overlay(true, false, true, ""), Overlay::none);
    EXPECT_EQ(sidebar::overlay(false, true, true, "zz"), Overlay::noSearchResults);
    // The field as typed: blanks that match everything still count as typed.
    EXPECT_EQ(sidebar::overlay(false, true, false, "  "), Overlay::none);
}

TEST(SessionSidebar, AwaitingRowDependsOnTheWholeListAndCountsTheWindow) {
    const std::int64_t now = 1'800'000'000;
    AwaitingReply old;
    old.timestampUnix = now - 20 * 86400;
    EXPECT_FALSE(sidebar::showsAwaitingRow(false, {old}));
    EXPECT_TRUE(sidebar::showsAwaitingRow(true, {old}));
    EXPECT_FALSE(sidebar::showsAwaitingRow(true, {}));
    EXPECT_EQ(sidebar::awaitingCount({old}, 7, now), 0);
    EXPECT_EQ(sidebar::awaitingCount({old}, 30, now), 1);
}

// The list is laid out again only when what its rows show changes: the same inputs read again
// (as on a synchronisation starting or ending) give the same rows; each thing a row shows, or
// which one is selected, makes them differ.
TEST(SessionSidebar, RowsShownChangeOnlyWithWhatTheListShows) {
    const auto make = [](const std::string& title, const std::string& last) {
        return std::make_shared<const ChatSession>(
            ChatStandIn::session("trip", title, {"Where to?", last}, 10));
    };
    const SessionFilter base(
        {make("Trip", "Lisbon"), std::make_shared<const ChatSession>(
                                     ChatStandIn::session("cafe", "Cafe", {"Flat white"}, 90))});
    const SessionFilter renamed({make("Trip to Lisbon", "Lisbon")});
    const SessionFilter answered({make("Trip", "Porto instead")});
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    AwaitingReply reply;
    reply.timestampUnix = now - 3600;
    const std::vector<AwaitingReply> oneReply{reply};
    const std::vector<AwaitingReply> twoReplies{reply, reply};
    const std::optional<SidebarSelection> trip = SidebarSelection::chat("trip");
    const std::optional<SidebarSelection> cafe = SidebarSelection::chat("cafe");
    const std::optional<SidebarSelection> awaiting = SidebarSelection::awaitingReplies();
    const std::optional<SidebarSelection> nothing;
    const auto input = [&](const SessionFilter& filter, const std::optional<SidebarSelection>& pick,
                           const std::vector<AwaitingReply>& replies, std::int64_t at,
                           std::string_view search) {
        return sidebar::rowsShown({.filter = filter,
                                   .searchText = search,
                                   .selection = pick,
                                   .showsProactive = true,
                                   .replies = replies,
                                   .displayDays = 7,
                                   .nowUnixSeconds = at});
    };
    const auto shown = input(base, trip, oneReply, now, "");
    ASSERT_EQ(shown.sessions.size(), 2U);
    EXPECT_TRUE(shown.sessions[0].selected);
    EXPECT_EQ(shown.awaitingCount, 1);

    struct Case {
        const char* name;
        sidebar::RowsShown rows;
        bool same;
    };
    const std::vector<Case> cases = {
        {"read again", input(base, trip, oneReply, now, ""), true},
        {"the same replies as new objects", input(base, trip, {reply}, now, ""), true},
        {"seconds later", input(base, trip, oneReply, now + 30, ""), true},
        {"no reply awaiting any more", input(base, trip, {}, now, ""), false},
        {"a minute later", input(base, trip, oneReply, now + 60, ""), false},
        {"renamed", input(renamed, trip, oneReply, now, ""), false},
        {"a new last message", input(answered, trip, oneReply, now, ""), false},
        {"another chat selected", input(base, cafe, oneReply, now, ""), false},
        {"the awaiting row selected", input(base, awaiting, oneReply, now, ""), false},
        {"one more reply", input(base, trip, twoReplies, now, ""), false},
        {"searched", input(base, trip, oneReply, now, "lis"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.rows == shown, c.same);
    }
    // No chat selected and the awaiting row selected look alike when the row is not there.
    EXPECT_EQ(input(base, nothing, {}, now, ""), input(base, awaiting, {}, now, ""));
}

struct SidebarFixture {
    SidebarFixture() {
        chat.add(ChatStandIn::session("keep", "Keep me", {"Hello"}, 10));
        chat.add(ChatStandIn::session("doomed", "Delete me", {"Bye"}, 5));
    }
    test::TempDir dir;
    ChatStandIn chat{dir.path() / "sessions.db"};
    SessionSidebarModel model{chat.chat};
};

// The parts shown whole (badge, icon, age, margins) keep their width; the one elidable text gets
// what is left, and nothing rather than a negative width in a row too narrow for the rest.
TEST(SessionSidebar, ElidableTextGetsWhatTheWholePartsLeave) {
    struct Case {
        int row;
        std::initializer_list<int> whole;
        int left;
    };
    for (const auto& c : {Case{200, {12, 16, 28, 12}, 132}, Case{200, {}, 200},
                          Case{40, {12, 16, 28, 12}, 0}, Case{100, {-5, 20}, 80}}) {
        EXPECT_EQ(sidebar::textSpace(c.row, c.whole), c.left) << c.row;
    }
}

TEST(SessionSidebar, DeletingNeedsTheConfirmation) {
    SidebarFixture f;
    const auto doomed = f.chat.chat.savedSessions().front();
    ASSERT_EQ(doomed->id, "doomed");

    f.model.requestDeletion(doomed);
    f.model.cancelDeletion();
    EXPECT_FALSE(f.model.pendingDeletion());
    EXPECT_EQ(f.chat.storedIDs(), (std::vector<std::string>{"doomed", "keep"}));

    f.model.requestDeletion(doomed);
    f.model.confirmDeletion();
    EXPECT_FALSE(f.model.pendingDeletion());
    EXPECT_EQ(f.chat.storedIDs(), (std::vector<std::string>{"keep"}));
    // A second confirmation with nothing pending deletes nothing more.
    f.model.confirmDeletion();
    EXPECT_EQ(f.chat.storedIDs(), (std::vector<std::string>{"keep"}));
}

TEST(SessionSidebar, Rename) {
    struct Case {
        const char* draft;
        bool cancel;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {"  Renamed \n", false, "Renamed"},
        {" \n ", false, "Keep me"},
        {"Not this", true, "Keep me"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.draft);
        SidebarFixture f;
        f.model.beginRename(*f.chat.stored("keep"));
        EXPECT_EQ(f.model.renameDraft, "Keep me");
        EXPECT_EQ(f.model.renamingID(), "keep");
        f.model.renameDraft = c.draft;
        c.cancel ? f.model.cancelRename() : f.model.commitRename();
        EXPECT_FALSE(f.model.renamingID());
        EXPECT_EQ(f.chat.stored("keep")->title, c.stored);
    }
}

TEST(SessionSidebar, NewChatSelectsTheFreshSession) {
    SidebarFixture f;
    const auto selection = f.model.newChat();
    EXPECT_EQ(selection, SidebarSelection::chat(f.chat.chat.currentSessionID()));
    // Empty sessions have no row until their first message.
    EXPECT_EQ(f.chat.chat.savedSessions().size(), 2u);
}

}  // namespace
}  // namespace vask

namespace vask {
namespace {

TEST(SessionSidebar, RelativeTimeInAbbreviatedUnits) {
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {0, "now"},
        {59, "59 sec. ago"},
        {60, "1 min. ago"},
        {7199, "1 hr. ago"},
        {86400, "1 day ago"},
        {3 * 86400, "3 days ago"},
        {15 * 86400, "2 wk. ago"},
        {400 * 86400, "1 yr. ago"},
        {-300, "in 5 min."},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(sidebar::relativeTime(seconds), text) << seconds;
    }
}

}  // namespace
}  // namespace vask
