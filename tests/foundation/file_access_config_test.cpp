#include <gtest/gtest.h>

#include <fstream>

#include "foundation/file_access_config.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

TEST(FileAccessDefaults, ParseScopesSplitsTrimsAndDeduplicates) {
    test::TempDir dir;
    const Environment env{{"HOME", dir.path().string()}};
    const std::vector<std::string> defaults = FileAccessDefaults::defaultScopes(env);
    struct Case {
        const char* name;
        std::string text;
        bool fallback;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"commas, newlines, blanks and repeats", "~/A, ~/B\n~/A,,\n", true, {"~/A", "~/B"}},
        {"all blank with fallback", " \n , \n", true, defaults},
        {"all blank without fallback", " \n , \n", false, {}},
        {"order kept", "/z\n/a\n/m", false, {"/z", "/a", "/m"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FileAccessDefaults::parseScopes(c.text, c.fallback, env), c.expected);
    }
}

TEST(FileAccessDefaults, DefaultConfigHasTheBuiltInValues) {
    test::TempDir dir;
    const Environment env{{"HOME", dir.path().string()}};
    const auto config = FileAccessConfig::defaults(std::nullopt, env);
    const auto home = dir.path().string();
    EXPECT_EQ(
        config.allowedScopes,
        (std::vector<std::string>{home + "/Documents", home + "/Desktop", home + "/Downloads"}));
    EXPECT_EQ(config.excludedPatterns,
              (std::vector<std::string>{"~/.ssh/*", "~/.gnupg/*", "~/.aws/*", "**/node_modules/*",
                                        "**/.git/*"}));
    EXPECT_EQ(config.maxPages, 10);
    EXPECT_EQ(config.maxFiles, 5);
    EXPECT_EQ(config.useVision, FileVisionMode::automatic);
    EXPECT_EQ(config.visionModel, std::nullopt);
    EXPECT_EQ(config.requestTimeoutSeconds, 45.0);
    EXPECT_EQ(FileAccessDefaults::defaultScopesString(env),
              home + "/Documents\n" + home + "/Desktop\n" + home + "/Downloads");
}

TEST(FileAccessDefaults, DesktopUserFoldersDecideTheDefaultScopes) {
    test::TempDir dir;
    const auto home = dir.path().string();
    std::filesystem::create_directories(dir / "config");
    std::ofstream(dir / "config" / "user-dirs.dirs")
        << "# written by xdg-user-dirs-update\n"
        << "XDG_DESKTOP_DIR=\"$HOME/\"\n"
        << "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
        << "XDG_DOWNLOAD_DIR=\"/data/Down \\\"loads\\\"\"\n"
        << "XDG_MUSIC_DIR=\"$HOME/Musik\"\n";
    const Environment env{{"HOME", home}, {"XDG_CONFIG_HOME", (dir / "config").string()}};
    EXPECT_EQ(FileAccessDefaults::defaultScopes(env),
              (std::vector<std::string>{home + "/Dokumente", "/data/Down \"loads\""}));
}

}  // namespace
}  // namespace vask
