#include <gtest/gtest.h>

#include "shell/chat_stand_in.h"
#include "shell/main_window_model.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Detail = MainWindowModel::Detail;

struct Window {
    Window() {
        chat.add(testing::ChatStandIn::session("older", "Trip plans", {"When do we leave?"}, 60));
        chat.add(testing::ChatStandIn::session("newer", "Dinner", {"Pasta?"}, 5));
    }

    test::TempDir dir;
    testing::ChatStandIn chat{dir.path() / "sessions.db"};
    bool hasSynced = true;
    bool isSyncing = false;
    int syncRequests = 0;
    bool awaitingFocus = false;
    int awaitingRefreshes = 0;
    bool proactive = true;
    int activations = 0;
    MainWindowModel model{{
        .chat = chat.chat,
        .sync = {.hasSynced = [this] { return hasSynced; },
                 .isSyncing = [this] { return isSyncing; },
                 .lastError = [] { return std::nullopt; },
                 .syncIfPossible = [this] { ++syncRequests; }},
        .awaiting = {.pendingFocus = [this] { return awaitingFocus; },
                     .setPendingFocus = [this](bool on) { awaitingFocus = on; },
                     .refreshNow = [this] { ++awaitingRefreshes; }},
        .showProactiveSurfaces = [this] { return proactive; },
        .activate = [this] { ++activations; },
    }};
};

TEST(MainWindowModel, DetailRouting) {
    struct Case {
        const char* name;
        std::optional<SidebarSelection> selection;
        bool proactive;
        bool credentials;
        bool synced;
        bool syncing;
        Detail detail;
    };
    const auto awaiting = SidebarSelection::awaitingReplies();
    const auto chat = SidebarSelection::chat("newer");
    const std::vector<Case> cases = {
        {"awaiting with the switch on", awaiting, true, true, true, false, Detail::awaitingReplies},
        {"awaiting even when signed out", awaiting, true, false, false, true,
         Detail::awaitingReplies},
        {"awaiting with the switch off", awaiting, false, true, true, false, Detail::chat},
        {"no selection", std::nullopt, true, true, true, false, Detail::chat},
        {"signed out covers syncing", chat, true, false, false, true, Detail::signedOut},
        {"never synced", chat, true, true, false, false, Detail::syncing},
        {"a later sync", chat, true, true, true, true, Detail::syncing},
        {"ready", chat, false, true, true, false, Detail::chat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Window w;
        w.model.select(c.selection);
        w.proactive = c.proactive;
        w.chat.hasCredentials = c.credentials;
        w.hasSynced = c.synced;
        w.isSyncing = c.syncing;
        EXPECT_EQ(w.model.detail(), c.detail);
    }
}

TEST(MainWindowModel, AppearingSelectsTheCurrentSessionAndStartsOnlyANeededSync) {
    Window w;
    w.hasSynced = false;
    w.model.appear();
    EXPECT_EQ(w.model.selection(), SidebarSelection::chat(w.chat.chat.currentSessionID()));
    EXPECT_EQ(w.activations, 1);
    EXPECT_EQ(w.chat.credentialRefreshes, 1);
    EXPECT_EQ(w.syncRequests, 1);
    EXPECT_EQ(w.awaitingRefreshes, 1);

    w.isSyncing = true;
    w.model.appear();
    EXPECT_EQ(w.syncRequests, 1);
}

TEST(MainWindowModel, ASessionHandedOffFromThePopoverIsSelected) {
    Window w;
    w.model.appear();
    w.chat.adopt(testing::ChatStandIn::session("handed", "From the popover", {"Hi"}, 0));
    w.model.pendingSessionFocusChanged();
    EXPECT_EQ(w.model.selection(), SidebarSelection::chat("handed"));
    EXPECT_FALSE(w.chat.chat.pendingSessionFocus());
    // Adopting made it current already: no switch.
    EXPECT_TRUE(w.chat.switches.empty());
    EXPECT_EQ(w.chat.storedIDs(), (std::vector<std::string>{"handed", "newer", "older"}));
}

TEST(MainWindowModel, ASessionFocusWinsOverAnAwaitingFocusAtAppearance) {
    Window w;
    w.chat.adopt(testing::ChatStandIn::session("handed", "From the popover", {"Hi"}, 0));
    w.awaitingFocus = true;
    w.model.appear();
    EXPECT_EQ(w.model.selection(), SidebarSelection::chat("handed"));
    EXPECT_TRUE(w.awaitingFocus);
    w.model.appear();
    EXPECT_EQ(w.model.selection(), SidebarSelection::awaitingReplies());
    EXPECT_FALSE(w.awaitingFocus);
}

TEST(MainWindowModel, AnAwaitingFocusWaitsWhileTheSwitchIsOff) {
    Window w;
    w.proactive = false;
    w.model.appear();
    const auto before = w.model.selection();
    w.awaitingFocus = true;
    w.model.awaitingPendingFocusChanged();
    EXPECT_TRUE(w.awaitingFocus);
    EXPECT_EQ(w.model.selection(), before);
}

TEST(MainWindowModel, SelectionAndCurrentSessionStayInStep) {
    Window w;
    w.model.appear();
    w.model.select(SidebarSelection::chat("older"));
    EXPECT_EQ(w.chat.chat.currentSessionID(), "older");
    // Picking the current session again does not switch.
    w.model.select(SidebarSelection::chat("older"));
    EXPECT_EQ(w.chat.switches, (std::vector<std::string>{"older"}));

    w.chat.chat.startNewSession();
    w.model.currentSessionChanged();
    EXPECT_EQ(w.model.selection(), SidebarSelection::chat(w.chat.chat.currentSessionID()));

    // The awaiting screen is left alone.
    w.model.select(SidebarSelection::awaitingReplies());
    w.chat.chat.switchSession("newer");
    w.model.currentSessionChanged();
    EXPECT_EQ(w.model.selection(), SidebarSelection::awaitingReplies());
}

TEST(MainWindowModel, CatchUpAsksInANewSessionButNotWhileSending) {
    Window w;
    w.model.appear();
    w.model.select(SidebarSelection::awaitingReplies());
    AwaitingReply reply;
    reply.contactName = "Ada";

    w.chat.sending = true;
    EXPECT_FALSE(w.model.canCatchUp());
    EXPECT_FALSE(w.model.catchUp(reply));
    EXPECT_TRUE(w.chat.sent.empty());
    EXPECT_EQ(w.model.selection(), SidebarSelection::awaitingReplies());

    w.chat.sending = false;
    ASSERT_TRUE(w.model.catchUp(reply));
    EXPECT_EQ(w.chat.sent, (std::vector<std::string>{
                               "Catch me up on my recent conversation with Ada \u2014 what are "
                               "they waiting on me to reply to?"}));
    EXPECT_EQ(w.model.selection(), SidebarSelection::chat(w.chat.chat.currentSessionID()));
}

}  // namespace
}  // namespace vask
