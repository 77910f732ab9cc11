#include "platform/file_problem.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "platform/file_secret_backend.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using Kind = FileProblem::Kind;

bool mentions(const Alert& alert, const std::string& text) {
    return alert.messageText.find(text) != std::string::npos ||
           alert.informativeText.find(text) != std::string::npos;
}

TEST(FileProblemAlert, NamesTheFileAndWhatWasKeptAside) {
    const fs::path file = "/home/u/.config/vask/settings.json";
    const fs::path aside = "/home/u/.config/vask/settings.json.corrupt-17";
    struct Case {
        Kind kind;
        std::optional<fs::path> keptAside;
        const char* says;
    };
    const Case cases[] = {
        {Kind::settingsUnwritable, std::nullopt, "only until Vask quits"},
        {Kind::settingsDamaged, aside, "defaults"},
        {Kind::credentialsDamaged, aside, "sign in again"},
        {Kind::memoryUnavailable, std::nullopt, "Memory is off"},
    };
    for (const auto& c : cases) {
        const auto alert = fileProblemAlert({c.kind, file, c.keptAside, "Is a directory"});
        SCOPED_TRACE(alert.messageText);
        EXPECT_FALSE(alert.messageText.empty());
        EXPECT_TRUE(mentions(alert, file.string()));
        EXPECT_TRUE(mentions(alert, c.says));
        EXPECT_TRUE(mentions(alert, "Is a directory"));
        if (c.keptAside) {
            EXPECT_TRUE(mentions(alert, "kept as " + aside.string()));
        }
        EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
    }
}

TEST(FileProblems, EachProblemWithAFileIsPassedOnOnceEvenBeforeAnyoneListens) {
    FileProblems problems;
    problems.report({Kind::settingsUnwritable, "/a", std::nullopt, "first"});
    problems.report({Kind::settingsUnwritable, "/a", std::nullopt, "again"});
    std::vector<FileProblem> heard;
    problems.setListener([&](const FileProblem& problem) { heard.push_back(problem); });
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].reason, "first");
    problems.report({Kind::settingsUnwritable, "/a", std::nullopt, "later"});
    problems.report({Kind::settingsDamaged, "/a", "/a.corrupt-1", ""});
    problems.report({Kind::settingsUnwritable, "/b", std::nullopt, ""});
    EXPECT_EQ(heard.size(), 3u);
}

// Settings that cannot be written no longer vanish with only a log line: the user is told
// once, however many changes fail, and the changes still hold for this run.
TEST(FileProblems, UnwritableSettingsAreToldOnce) {
    struct Case {
        const char* name;
        void (*plant)(const fs::path&);
        bool needsNonRoot;
    };
    const Case cases[] = {
        {"settings path is a folder", [](const fs::path& path) { fs::create_directories(path); },
         false},
        {"settings file mode 000",
         [](const fs::path& path) {
             std::ofstream(path) << "{}";
             fs::permissions(path, fs::perms::none);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsNonRoot && ::geteuid() == 0) {
            continue;  // root reads and writes whatever the mode
        }
        test::TempDir dir;
        const auto path = dir / "settings.json";
        c.plant(path);
        const auto problems = std::make_shared<FileProblems>();
        std::vector<FileProblem> heard;
        problems->setListener([&](const FileProblem& problem) { heard.push_back(problem); });
        JsonFileDefaults defaults(path, problems);
        defaults.set("a", 1);
        defaults.set("b", 2);
        ASSERT_EQ(heard.size(), 1u);
        EXPECT_EQ(heard[0].kind, Kind::settingsUnwritable);
        EXPECT_EQ(heard[0].file, path);
        EXPECT_FALSE(heard[0].reason.empty());
        EXPECT_EQ(defaults.integerValue("b").optional(), 2);
    }
}

TEST(FileProblems, DamagedSettingsAndCredentialsAreToldWithWhereTheyWent) {
    test::TempDir dir;
    const auto problems = std::make_shared<FileProblems>();
    std::vector<FileProblem> heard;
    problems->setListener([&](const FileProblem& problem) { heard.push_back(problem); });
    const auto settings = dir / "settings.json";
    const auto credentials = dir / "credentials.json";
    std::ofstream(settings) << "{not json";
    std::ofstream(credentials) << "[1,2";
    JsonFileDefaults(settings, problems).set("a", 1);
    FileSecretBackend(credentials, problems).add("svc", "acct", "x");
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].kind, Kind::settingsDamaged);
    EXPECT_EQ(heard[1].kind, Kind::credentialsDamaged);
    for (const auto& problem : heard) {
        ASSERT_TRUE(problem.keptAside);
        EXPECT_TRUE(fs::exists(*problem.keptAside)) << *problem.keptAside;
        EXPECT_EQ(problem.keptAside->parent_path(), dir.path());
    }
}

}  // namespace
}  // namespace vask
