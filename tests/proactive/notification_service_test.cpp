#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "fake_notification_center.h"
#include "platform/manual_executor.h"
#include "proactive/file_notification_sink.h"
#include "proactive/notification_service.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Status = NotificationAuthorizationStatus;

TEST(NotificationService, EnsureAuthorizedAsksOnlyWhileTheChoiceIsOpen) {
    struct Case {
        Status status;
        bool granted;
        std::optional<std::string> error;
        bool expected;
        int requests;
        const char* logged;
    };
    const Case cases[] = {
        {Status::authorized, false, std::nullopt, true, 0, nullptr},
        {Status::provisional, false, std::nullopt, true, 0, nullptr},
        {Status::ephemeral, false, std::nullopt, true, 0, nullptr},
        {Status::denied, true, std::nullopt, false, 0, nullptr},
        {Status::notDetermined, true, std::nullopt, true, 1,
         "notifications_authorization_requested"},
        {Status::notDetermined, false, std::nullopt, false, 1,
         "notifications_authorization_requested"},
        {Status::notDetermined, true, "broken", false, 1, "notifications_authorization_error"},
    };
    for (const auto& c : cases) {
        test::LogCapture logs;
        test::FakeNotificationCenter center;
        center.status = c.status;
        center.grantOnRequest = c.granted;
        center.requestError = c.error;
        ManualExecutor main;
        NotificationService service(center, main);
        std::optional<bool> answer;
        service.ensureAuthorized([&](bool ok) { answer = ok; });
        main.runUntilIdle();
        EXPECT_EQ(answer, c.expected);
        EXPECT_EQ(center.authorizationRequests, c.requests);
        EXPECT_EQ(c.logged != nullptr && logs->contains(c.logged), c.logged != nullptr);
    }
}

TEST(NotificationService, SweepsByCaseSensitivePrefixAndLogsOnlyRemovals) {
    test::LogCapture logs;
    test::FakeNotificationCenter center;
    center.delivered = {"digest-1", "digest-", "Digest-2", "awaiting-summary"};
    center.pending = {"digest-9"};
    ManualExecutor main;
    NotificationService service(center, main);
    service.removeAll("digest-");
    EXPECT_EQ(center.delivered, (std::set<std::string>{"Digest-2", "awaiting-summary"}));
    EXPECT_TRUE(center.pending.empty());
    ASSERT_EQ(logs->events("notifications_swept_delivered").size(), 1u);
    EXPECT_EQ(logs->events("notifications_swept_delivered")[0].metadata.at("count"), "2");
    EXPECT_EQ(logs->events("notifications_swept_pending")[0].metadata.at("count"), "1");
    logs->clear();
    service.removeAll("digest-");
    EXPECT_FALSE(logs->contains("notifications_swept_delivered"));
}

TEST(NotificationService, TapsReachTheHandlerOfTheirAction) {
    test::LogCapture logs;
    test::FakeNotificationCenter center;
    ManualExecutor main;
    NotificationService service(center, main);
    std::vector<NotificationUserInfo> handled;
    service.tapHandlers["open-awaiting"] = [&](const NotificationUserInfo& info) {
        handled.push_back(info);
    };
    center.tapReceiver({{"action", "open-awaiting"}, {"chatId", "c1"}});
    center.tapReceiver({{"chatId", "c2"}});
    center.tapReceiver({{"action", "unknown"}});
    EXPECT_TRUE(handled.empty());  // handlers run on the main executor
    main.runUntilIdle();
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].at("chatId"), "c1");
    const auto taps = logs->events("notification_tapped");
    ASSERT_EQ(taps.size(), 3u);
    EXPECT_EQ(taps[1].metadata.at("action"), "none");
}

TEST(NotificationService, PostOutcomeIsLoggedWithoutTheChatIdentifier) {
    test::LogCapture logs;
    test::FakeNotificationCenter center;
    ManualExecutor main;
    NotificationService service(center, main);
    service.post("awaiting-iMessage;-;+15550001", "T", "B", {{"action", "open-awaiting"}});
    center.addError = "no server";
    service.post("awaiting-summary", "T", "B", {});
    EXPECT_EQ(center.added.front(),
              (UserNotificationRequest{
                  "awaiting-iMessage;-;+15550001", "T", "B", {{"action", "open-awaiting"}}}));
    EXPECT_TRUE(logs->contains("notification_posted"));
    EXPECT_EQ(logs->events("notification_post_failed")[0].metadata.at("error"), "no server");
    EXPECT_FALSE(logs->mentions("+15550001"));
}

TEST(FileNotificationSink, RecordsPostsAndRemovalsAsJsonLines) {
    test::TempDir dir;
    const auto path = dir / "notifications.jsonl";
    auto center = UserNotificationCenter::makeSystem({{"VASK_NOTIFICATION_SINK", path.string()}});
    ManualExecutor main;
    NotificationService service(*center, main);
    service.post("awaiting-c1", "Ann is waiting on a reply", "line\none",
                 {{"action", "open-awaiting"}});
    service.post("digest-1", "D", "", {});
    service.removeAll("digest-");
    service.removeAll("digest-");
    std::ifstream in(path);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], (nlohmann::json{{"event", "post"},
                                        {"id", "awaiting-c1"},
                                        {"title", "Ann is waiting on a reply"},
                                        {"body", "line\none"},
                                        {"userInfo", {{"action", "open-awaiting"}}}}));
    EXPECT_EQ(lines[2], (nlohmann::json{{"event", "remove"}, {"id", "digest-1"}}));
}

}  // namespace
}  // namespace vask
