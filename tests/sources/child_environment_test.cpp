// Vask's own secrets reach no child it starts: not the desktop opener, not the search command,
// not the page drawer, though each gets an environment of the user's.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/application_secrets.h"
#include "page_drawer_probe.h"
#include "platform/file_io.h"
#include "platform/open_command.h"
#include "png_fixture.h"
#include "sources/file_search.h"
#include "sources/page_drawer.h"
#include "support/eventually.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

// The names of `lines` ("NAME=value" or "NAME" each).
std::set<std::string> names(const std::string& lines) {
    std::set<std::string> out;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        out.insert(line.substr(0, line.find('=')));
    }
    return out;
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ChildEnvironmentTest, NoChildGetsVasksSecrets) {
    const std::vector<std::pair<std::string, bool>> variables = {
        {"CORVANE_API_KEY", true},       {"CORVANE_CUSTOMER_TOKEN", true},
        {"VASK_RELAY_BASE_URL", true},   {"VASK_CLOUD_BASE_URL", true},
        {"VASK_ACCESS_TOKEN", true},     {"VASK_RELAY_TOKEN", true},
        {"VASK_KEYCHAIN_SERVICE", true}, {"VASK_LOG_FILE", false},
        {"GITHUB_TOKEN", false},         {"DISPLAY", false},
    };
    test::ScopedEnvironment environment;
    Environment given = processEnvironment();
    for (const auto& [name, secret] : variables) {
        environment.set(name, "value-of-" + name);
        given[name] = "value-of-" + name;
        EXPECT_EQ(isApplicationSecret(name), secret) << name;
    }
    test::TempDir dir;

    // The desktop opener: the address it is given is where it writes its environment.
    OpenCommandRunner runner(isApplicationSecret);
    std::mutex mutex;
    std::optional<std::optional<std::string>> opened;
    ASSERT_EQ(runner.run({"sh", "-c", "env > \"$0\""}, (dir / "opener").string(),
                         [&](std::optional<std::string> failure) {
                             const std::lock_guard lock(mutex);
                             opened = std::move(failure);
                         }),
              std::nullopt);
    ASSERT_TRUE(test::eventually([&] {
        const std::lock_guard lock(mutex);
        return opened.has_value();
    }));

    // The search command: what it prints are the paths found (absolute lines only).
    writeFileAtomically(dir / "search", "#!/bin/sh\nenv | sed 's|^|/|'\n");
    fs::permissions(dir / "search", fs::perms::owner_all);
    FileSearch::Options searchOptions;
    searchOptions.commandPath = dir / "search";
    std::string searched;
    for (const auto& line : FileSearch(searchOptions).search("q", {"/s"}, 1000, {}).paths) {
        searched += line.substr(1) + "\n";
    }

    // The page drawer, given the whole environment to choose from.
    PageDrawer::Options drawerOptions;
    drawerOptions.program = VASK_PAGE_DRAWER_PROBE;
    drawerOptions.environment = given;
    const auto page = PageDrawer("environment", drawerOptions).draw(0);
    ASSERT_TRUE(page.png.has_value()) << page.refusal.value_or("");
    const auto drawer =
        test::probeAnswer(test::decodePng(*page.png).value_or(test::RgbImage{}).pixels);

    const std::vector<std::pair<std::string, std::set<std::string>>> children = {
        {"the desktop opener", names(readAll(dir / "opener"))},
        {"the search command", names(searched)},
        {"the page drawer", names(drawer)},
    };
    for (const auto& [child, seen] : children) {
        SCOPED_TRACE(child);
        for (const auto& [name, secret] : variables) {
            if (secret) {
                EXPECT_EQ(seen.count(name), 0U) << name;
            }
        }
    }
    // The user's own variables still reach the children that run for the user.
    EXPECT_EQ(names(readAll(dir / "opener")).count("GITHUB_TOKEN"), 1U);
    EXPECT_EQ(names(searched).count("DISPLAY"), 1U);
}

}  // namespace
}  // namespace vask
