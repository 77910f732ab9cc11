#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/file_access_prefetch.h"
#include "platform/landlock.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

// The helper's prefetch reaches the real file access service: a text file in an allowed folder
// is found, parsed and cached once; asking again finds it cached.
TEST(FileAccessPrefetch, CachesAllowedFilesOnce) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "Documents");
    std::ofstream(dir / "Documents" / "lease.txt") << "The landlord renews the lease in March.\n";

    FileAccessConfig config = FileAccessConfig::defaults(std::nullopt, {});
    config.allowedScopes = {(dir / "Documents").string()};
    config.useVision = FileVisionMode::disabled;

    const HttpClient http;
    const auto factory = fileAccessPrefetchFactory(*Url::parse("http://127.0.0.1:9"), http);
    const auto service = factory((dir / "shadow.db").string(), std::nullopt, std::nullopt, config);
    EXPECT_EQ(service->prefetch("landlord lease", {}), 1);
    EXPECT_EQ(service->prefetch("landlord lease", {}), 0);
}

// Two chats of a run, each with the factory it was built with, asked about a PDF on a system
// where pages are not drawn: how many times the user was told (a note stored in place of the
// pages), and how many drawers were started.
std::string askTwoChats(const std::string& drawerSays, int landlockAbiCeiling) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "Documents");
    std::ofstream(dir / "Documents" / "report.pdf") << "%PDF-1.4 a report";
    const auto drawer = dir / "drawer";
    std::ofstream(drawer) << "#!/bin/sh\necho >>'" << (dir / "starts").string() << "'\nprintf '"
                          << drawerSays << "'\nexit 7\n";
    std::filesystem::permissions(drawer, std::filesystem::perms::owner_all);
    FileAccessConfig config = FileAccessConfig::defaults(std::nullopt, {});
    config.allowedScopes = {(dir / "Documents").string()};

    const HttpClient http;
    PageDrawer::Options drawing;
    drawing.program = drawer;
    drawing.landlockAbiCeiling = landlockAbiCeiling;
    std::int64_t told = 0;
    for (const auto* chat : {"main", "popover"}) {
        const auto factory =
            fileAccessPrefetchFactory(*Url::parse("http://127.0.0.1:9"), http, drawing);
        const auto service =
            factory((dir / (std::string(chat) + ".db")).string(), "key", std::nullopt, config);
        told += service->prefetch("report", {});
    }
    std::ifstream starts(dir / "starts");
    const auto started =
        std::count(std::istreambuf_iterator<char>(starts), std::istreambuf_iterator<char>(), '\n');
    return "told " + std::to_string(told) + ", started " + std::to_string(started);
}

// What the page drawers learn of the system is the program's: the main chat and the popover,
// each with its own factory, start at most one drawer and tell the user once. Run in a process
// of its own, whose record nothing else has touched.
TEST(FileAccessPrefetchDeathTest, TwoChatsOfARunTellOnceThatPagesAreNotDrawn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (kernelLandlockAbi() < 1) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    struct Case {
        std::string name;
        std::string drawerSays;
        int ceiling;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"a kernel that offers no Landlock", "no-landlock", 0, "told 1, started 0"},
        // The kernel offers Landlock: what a drawer says of itself costs its document only,
        // and the other chat starts its own drawer.
        {"a drawer that says it cannot be confined", "not-confined", -1, "told 0, started 2"},
        {"a drawer that says nothing", "", -1, "told 0, started 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                std::fputs(askTwoChats(c.drawerSays, c.ceiling).c_str(), stderr);
                std::fflush(stderr);
                std::_Exit(0);
            },
            testing::ExitedWithCode(0), c.outcome);
    }
}

}  // namespace
}  // namespace vask
