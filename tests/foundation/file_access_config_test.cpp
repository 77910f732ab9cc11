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

    // Without the desktop's list: the usual names in the home folder.
    const Environment bare{{"HOME", home}, {"XDG_CONFIG_HOME", (dir / "none").string()}};
    EXPECT_EQ(FileAccessDefaults::defaultScopesString(bare),
              home + "/Documents\n" + home + "/Desktop\n" + home + "/Downloads");
}

}  // namespace
}  // namespace vask
