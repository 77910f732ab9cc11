#include "shell/update_checker.h"

#include <gtest/gtest.h>

#include "foundation/app_installation_gate.h"
#include "platform/manual_executor.h"
#include "shell/popover_presenter.h"
#include "support/log_capture.h"
#include "support/recording_opener.h"
#include "support/stub_http_server.h"

namespace vask {
namespace {

TEST(UpdateCheckerTest, VersionsCompareByTheNumberEachPieceStartsWith) {
    const std::vector<std::tuple<const char*, const char*, bool>> cases = {
        {"1.10", "1.9", true},
        {"1.2", "1.2.0", false},
        {"1.2.1", "1.2", true},
        {"2.0-beta", "1.9", true},
        {"1.2.3", "1.2.3", false},
        // A suffix keeps its piece's number and position.
        {"1.2.3-beta", "1.2.2", true},
        {"1.2.3-beta", "1.2.3", false},
        // A piece without digits counts as 0 where it stands.
        {"v1.5", "1.9", false},
        {"v1.5", "0.4", true},
        {"1..2", "1.1", true},
        {"99999999999999999999.0", "1.0", false},
        {"0.1.0", "", true},
    };
    for (const auto& [candidate, current, newer] : cases) {
        EXPECT_EQ(isNewerVersion(candidate, current), newer) << candidate << " vs " << current;
    }
}

struct RecordingAlerts final : AlertPresenter {
    int runModal(const Alert& alert) override {
        shown.push_back(alert);
        return answer;
    }
    std::vector<Alert> shown;
    int answer = 0;
};

using test::RecordingOpener;

struct CheckerFixture {
    test::StubHttpServer server;
    HttpClient http;
    RecordingAlerts alerts;
    RecordingOpener opener;
    ManualExecutor main;
    ManualExecutor worker;
    std::shared_ptr<UpdateChecker> checker = UpdateChecker::make({
        .versionURL = server.baseURL().appendingPath("version.json").absoluteString(),
        .downloadURL = "https://example.com/download",
        .currentVersion = "1.2.0",
        .http = http,
        .alerts = alerts,
        .urlOpener = opener,
        .main = main,
        .worker = worker,
    });

    void check() {
        checker->checkForUpdates();
        worker.runUntilIdle();
        main.runUntilIdle();
    }
};

TEST(UpdateCheckerTest, ChecksOncePerProcessAndOffersTheDownload) {
    CheckerFixture f;
    f.server.script("GET", "/version.json",
                    {test::StubHttpServer::Reply::json(500, R"({"version": "1.3.0", "x": 1})")});
    for (int appearance = 0; appearance < 3; ++appearance) {
        f.check();
    }
    EXPECT_EQ(f.server.requestCount(), 1u);
    ASSERT_EQ(f.alerts.shown.size(), 1u);
    EXPECT_EQ(f.alerts.shown[0].messageText, "Update Available");
    EXPECT_EQ(f.alerts.shown[0].informativeText, "Vask 1.3.0 is available. You have 1.2.0.");
    EXPECT_EQ(f.alerts.shown[0].buttons, (std::vector<std::string>{"Download", "Later"}));
    EXPECT_EQ(f.opener.urls, std::vector<std::string>{"https://example.com/download"});
}

// "Download" on a desktop where nothing opens the page: an alert says so and where the page is.
TEST(UpdateCheckerTest, ADownloadPageThatDidNotOpenIsSaid) {
    test::LogCapture log;
    CheckerFixture f;
    f.opener.opens = false;
    f.server.script("GET", "/version.json",
                    {test::StubHttpServer::Reply::json(200, R"({"version": "1.3.0"})")});
    f.check();
    f.main.runUntilIdle();
    ASSERT_EQ(f.alerts.shown.size(), 2u);
    EXPECT_EQ(f.alerts.shown[1].messageText, "The download page did not open");
    EXPECT_EQ(f.alerts.shown[1].informativeText,
              "Couldn't open the download page (nothing on the desktop opens it). Open "
              "https://example.com/download in a browser to get the update.");
    EXPECT_TRUE(log->contains("update_download_open_failed"));
}

TEST(UpdateCheckerTest, AnUnreadableFeedIsLoggedAndShowsNothing) {
    const std::vector<std::string> bodies = {"<html>oops</html>", R"({"date": "2026-01-01"})",
                                             R"({"version": 2})"};
    for (const auto& body : bodies) {
        SCOPED_TRACE(body);
        test::LogCapture log;
        CheckerFixture f;
        f.server.script("GET", "/version.json", {test::StubHttpServer::Reply::text(200, body)});
        f.check();
        EXPECT_TRUE(log->contains("update_check_failed"));
        EXPECT_TRUE(f.alerts.shown.empty());
    }
}

TEST(UpdateCheckerTest, LaterOpensNothingAndAnOlderFeedIsSilent) {
    CheckerFixture f;
    f.alerts.answer = 1;
    f.server.script("GET", "/version.json", {test::StubHttpServer::Reply::json(200, R"({"version": "2"})")});
    f.check();
    EXPECT_EQ(f.alerts.shown.size(), 1u);
    EXPECT_TRUE(f.opener.urls.empty());

    CheckerFixture older;
    older.server.script("GET", "/version.json",
                        {test::StubHttpServer::Reply::json(200, R"({"version": "1.1.9"})")});
    older.check();
    EXPECT_TRUE(older.alerts.shown.empty());
}

TEST(UpdaterServiceTest, SaysWhetherTheBuildIsADevelopmentOne) {
    for (const bool devBuild : {true, false}) {
        test::LogCapture log;
        UpdaterService service(devBuild);
        EXPECT_FALSE(service.hasController());
        const auto records = log->events("updater_disabled");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].metadata.at("dev_build"), devBuild ? "true" : "false");
    }
    // The process's own service says what this build is.
    test::LogCapture log;
    UpdaterService::shared();
    const auto records = log->events("updater_disabled");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].metadata.at("dev_build"),
              AppInstallationGate::currentContext().isDevBuild ? "true" : "false");
}

TEST(PopoverPresenterTest, CountsCutThousandsAndErrorsKeepTheirOrder) {
    const std::vector<std::pair<std::int64_t, const char*>> counts = {
        {0, "0 messages"},     {1, "1 message"},       {2, "2 messages"},
        {999, "999 messages"}, {1000, "1k messages"},  {1999, "1k messages"},
        {12345, "12k messages"}, {1000000, "1000k messages"}};
    for (const auto& [count, expected] : counts) {
        EXPECT_EQ(popover::formatCount(count, "message"), expected);
    }
    const auto errors = popover::activeErrors(
        {.config = std::nullopt, .sync = "s", .contacts = std::nullopt, .chat = "c", .access = "a"});
    EXPECT_EQ(errors, (std::vector<popover::ErrorEntry>{{"Sync", "s"}, {"Chat", "c"}, {"Access", "a"}}));
    EXPECT_EQ(popover::copiedErrorText(errors[0]), "[Sync] s");
}

}  // namespace
}  // namespace vask
