#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "foundation/app_environment.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

TEST(AppEnvironment, InstanceNameProductionAndScopedKeys) {
    struct Case {
        const char* name;
        std::optional<std::string> supportDir;  // VASK_SUPPORT_DIR
        std::optional<std::string> bundleId;
        std::string instance;
        bool production;
        std::string scopedKey;  // of "onboarding.didStart"
    };
    const Case cases[] = {
        {"production bundle", std::nullopt, "ai.ternwick.Vask", "Vask", true,
         "onboarding.didStart"},
        {"bundle without identifier counts as production", std::nullopt, std::nullopt, "Vask", true,
         "onboarding.didStart"},
        {"blank override is unset", " \t\n", "ai.ternwick.Vask", "Vask", true,
         "onboarding.didStart"},
        {"override is trimmed and never production", " dev ", "ai.ternwick.Vask", "dev", false,
         "onboarding.didStart.dev"},
        {"override example", "dev-a", "ai.ternwick.Vask", "dev-a", false,
         "onboarding.didStart.dev-a"},
        {"development bundle", std::nullopt, "ai.ternwick.Vask.debug", "ai.ternwick.Vask.debug",
         false, "onboarding.didStart.ai.ternwick.Vask.debug"},
        {"blank override with development bundle", "", "ai.ternwick.Vask.debug",
         "ai.ternwick.Vask.debug", false, "onboarding.didStart.ai.ternwick.Vask.debug"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Environment env;
        if (c.supportDir) {
            env["VASK_SUPPORT_DIR"] = *c.supportDir;
        }
        EXPECT_EQ(AppEnvironment::supportDirectoryName(env, c.bundleId), c.instance);
        EXPECT_EQ(AppEnvironment::isProductionInstance(env, c.bundleId), c.production);
        EXPECT_EQ(AppEnvironment::instanceScopedKey("onboarding.didStart", env, c.bundleId),
                  c.scopedKey);
    }
}

TEST(AppEnvironment, SupportDirectoryIsCreatedOnceUnderTheDataFolder) {
    test::TempDir dir;
    const Environment env{{"XDG_DATA_HOME", (dir / "data").string()}, {"VASK_SUPPORT_DIR", "dev"}};
    const auto first = AppEnvironment::supportDirectoryURL(env, "ai.ternwick.Vask");
    EXPECT_EQ(first, dir / "data" / "dev");
    EXPECT_TRUE(std::filesystem::is_directory(first));
    std::ofstream(first / "shadow.db") << "kept";

    const auto second = AppEnvironment::supportDirectoryURL(env, "ai.ternwick.Vask");
    EXPECT_EQ(second, first);
    EXPECT_TRUE(std::filesystem::exists(first / "shadow.db"));
}

TEST(AppEnvironment, SupportDirectoryIsPrivateWhateverTheUmask) {
    struct Umask {
        mode_t old = ::umask(022);
        ~Umask() { ::umask(old); }
    } permissive;
    struct Case {
        const char* name;
        std::optional<mode_t> existing;  // mode of a folder left by an older build
    };
    for (const auto& c : {Case{"new folder", std::nullopt}, Case{"world-readable folder", 0755},
                          Case{"already private", 0700}}) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const Environment env{{"XDG_DATA_HOME", (dir / "data").string()}};
        if (c.existing) {
            std::filesystem::create_directories(dir / "data" / "Vask");
            ASSERT_EQ(::chmod((dir / "data" / "Vask").c_str(), *c.existing), 0);
        }
        const auto url = AppEnvironment::supportDirectoryURL(env, std::nullopt);
        struct stat info {};
        ASSERT_EQ(::stat(url.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
}

TEST(AppEnvironment, SupportDirectoryLocation) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "taken");
    std::ofstream(dir / "taken" / "Vask") << "";
    std::ofstream(dir / "file") << "";
    const auto data = (dir / "data").string();
    struct Case {
        const char* name;
        Environment env;
        std::optional<std::filesystem::path> expected;  // nothing: refused with an error
    };
    const Case cases[] = {
        {"relative data folder: the home folder's",
         {{"HOME", dir.path().string()}, {"XDG_DATA_HOME", "relative/data"}},
         dir / ".local" / "share" / "Vask"},
        {"a file already at the path is accepted",
         {{"XDG_DATA_HOME", (dir / "taken").string()}},
         dir / "taken" / "Vask"},
        {"data folder that cannot be created",
         {{"XDG_DATA_HOME", (dir / "file" / "d").string()}},
         std::nullopt},
        {"instance name reaching out",
         {{"XDG_DATA_HOME", data}, {"VASK_SUPPORT_DIR", "../escape"}},
         std::nullopt},
        {"instance name of two folders",
         {{"XDG_DATA_HOME", data}, {"VASK_SUPPORT_DIR", "a/b"}},
         std::nullopt},
        {"instance name ..", {{"XDG_DATA_HOME", data}, {"VASK_SUPPORT_DIR", ".."}}, std::nullopt},
        {"instance name .", {{"XDG_DATA_HOME", data}, {"VASK_SUPPORT_DIR", "."}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.expected) {
            EXPECT_EQ(AppEnvironment::supportDirectoryURL(c.env, std::nullopt), *c.expected);
        } else {
            EXPECT_THROW(AppEnvironment::supportDirectoryURL(c.env, std::nullopt),
                         AppEnvironment::Error);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "escape"));
}

}  // namespace
}  // namespace vask
