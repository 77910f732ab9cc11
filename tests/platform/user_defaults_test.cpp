#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "platform/file_io.h"
#include "platform/file_secret_backend.h"
#include "platform/user_defaults.h"
#include "support/log_capture.h"
#include "support/special_files.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace vask {
namespace {

std::string slurp(const std::filesystem::path& path) {
    return readFileIfExists(path).value_or("<missing>");
}

TEST(UserDefaults, TypedLookupsTellAbsentFromAnotherType) {
    InMemoryDefaults defaults;
    defaults.set("flag", true);
    defaults.set("count", 3);
    defaults.set("whole", 4.0);
    defaults.set("ratio", 2.5);
    defaults.set("name", "dev");
    defaults.set("list", json::array({"a", "b"}));
    defaults.set("mixed", json::array({"a", 1}));

    using State = DefaultsLookup<bool>::State;
    struct Case {
        const char* key;
        State asBool, asInteger, asDouble, asString, asStrings;
    };
    const Case cases[] = {
        {"missing", State::absent, State::absent, State::absent, State::absent, State::absent},
        {"flag", State::present, State::otherType, State::otherType, State::otherType,
         State::otherType},
        {"count", State::otherType, State::present, State::present, State::otherType,
         State::otherType},
        {"whole", State::otherType, State::present, State::present, State::otherType,
         State::otherType},
        {"ratio", State::otherType, State::otherType, State::present, State::otherType,
         State::otherType},
        {"name", State::otherType, State::otherType, State::otherType, State::present,
         State::otherType},
        {"list", State::otherType, State::otherType, State::otherType, State::otherType,
         State::present},
        {"mixed", State::otherType, State::otherType, State::otherType, State::otherType,
         State::otherType},
    };
    auto same = [](auto lookupState, State expected) {
        return static_cast<int>(lookupState) == static_cast<int>(expected);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_TRUE(same(defaults.boolValue(c.key).state, c.asBool));
        EXPECT_TRUE(same(defaults.integerValue(c.key).state, c.asInteger));
        EXPECT_TRUE(same(defaults.doubleValue(c.key).state, c.asDouble));
        EXPECT_TRUE(same(defaults.stringValue(c.key).state, c.asString));
        EXPECT_TRUE(same(defaults.stringArrayValue(c.key).state, c.asStrings));
    }
    EXPECT_EQ(defaults.integerValue("whole").value, 4);
    EXPECT_EQ(defaults.stringArrayValue("list").value, (std::vector<std::string>{"a", "b"}));
    defaults.remove("flag");
    EXPECT_TRUE(defaults.boolValue("flag").isAbsent());
}

TEST(JsonFileDefaults, ValuesSurviveANewInstanceAndAnotherWriter) {
    test::TempDir dir;
    const auto path = dir / "nested" / "ai.ternwick.Vask.json";
    {
        JsonFileDefaults defaults(path);
        EXPECT_FALSE(defaults.loadError());
        defaults.set("onboarding.didStart", true);
        defaults.set("awaitingReply.displayDays", 7);
        defaults.set("gone", "soon");
        defaults.remove("gone");
    }
    JsonFileDefaults reopened(path);
    EXPECT_EQ(reopened.boolValue("onboarding.didStart").optional(), true);
    EXPECT_EQ(reopened.integerValue("awaitingReply.displayDays").optional(), 7);
    EXPECT_TRUE(reopened.stringValue("gone").isAbsent());
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    // Two writers of one file (production and development) keep each other's keys.
    JsonFileDefaults development(path);
    reopened.set("showProactiveSurfaces", true);
    development.set("showProactiveSurfaces.dev", false);
    JsonFileDefaults reader(path);
    EXPECT_EQ(reader.boolValue("showProactiveSurfaces").optional(), true);
    EXPECT_EQ(reader.boolValue("showProactiveSurfaces.dev").optional(), false);
    EXPECT_EQ(reader.integerValue("awaitingReply.displayDays").optional(), 7);
}

// The settings file is followed through a link (a dotfile manager's) only in a folder no one else
// can write; a FIFO there is refused without waiting. What is refused is left as it is and
// reported, and the change lasts for the run.
TEST(JsonFileDefaults, SpecialFilesAndPlantedLinksAreNeitherWaitedOnNorFollowed) {
    struct Case {
        const char* name;
        std::filesystem::perms folderMode;
        bool link;  // else a FIFO
        bool followed;
    };
    const Case cases[] = {
        {"link in a private folder", std::filesystem::perms::owner_all, true, true},
        {"link in a folder others write", std::filesystem::perms::all, true, false},
        {"link in a sticky shared folder",
         std::filesystem::perms::all | std::filesystem::perms::sticky_bit, true, false},
        {"FIFO", std::filesystem::perms::owner_all, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto folder = dir / "config";
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(folder, c.folderMode);
        const auto path = folder / "settings.json";
        std::ofstream(dir / "target.json") << "{\"kept\": 1}";
        if (c.link) {
            std::filesystem::create_symlink(dir / "target.json", path);
        } else {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }
        const auto problems = std::make_shared<FileProblems>();
        std::vector<FileProblem> told;
        problems->setListener([&](const FileProblem& problem) { told.push_back(problem); });
        std::optional<JsonFileDefaults> defaults;
        EXPECT_TRUE(test::returnsWithoutWaitingOn({path}, [&] {
            defaults.emplace(path, problems);
            defaults->set("changed", true);
        }));
        EXPECT_EQ(defaults->boolValue("changed").optional(), true);
        EXPECT_EQ(defaults->value("kept").has_value(), c.followed);
        EXPECT_EQ(told.empty(), c.followed);
        EXPECT_EQ(std::filesystem::is_symlink(path), c.link);
        EXPECT_EQ(slurp(dir / "target.json").find("changed") != std::string::npos, c.followed);
        if (!c.link) {
            EXPECT_TRUE(test::isFifo(path));
        }
    }
}

TEST(JsonFileDefaults, ItsFolderIsMadePrivateWhateverTheUmask) {
    test::TempDir dir;
    const mode_t umask = ::umask(0);
    JsonFileDefaults(dir / "config" / "vask" / "settings.json").set("key", 1);
    ::umask(umask);
    for (const auto& folder : {dir / "config", dir / "config" / "vask"}) {
        EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all)
            << folder;
    }
}

TEST(JsonFileDefaults, CorruptFileIsReportedAndKeptNotSilentlyEmptied) {
    test::TempDir dir;
    const auto path = dir / "settings.json";
    const std::string corrupt = "{\"onboarding.didComplete\": tru";
    std::ofstream(path) << corrupt;

    test::LogCapture log;
    JsonFileDefaults defaults(path);
    ASSERT_TRUE(defaults.loadError());
    EXPECT_TRUE(log->mentions("user_defaults_corrupt"));
    EXPECT_EQ(slurp(path), corrupt) << "reading must not touch the file";

    defaults.set("onboarding.didStart", true);
    EXPECT_FALSE(defaults.loadError());
    EXPECT_EQ(JsonFileDefaults(path).boolValue("onboarding.didStart").optional(), true);

    int keptAside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().filename().string().starts_with("settings.json.corrupt-")) {
            ++keptAside;
            EXPECT_EQ(slurp(entry.path()), corrupt);
        }
    }
    EXPECT_EQ(keptAside, 1);
}

// Both stores that keep a damaged file aside: a second damage soon after the first must not
// replace the first copy.
TEST(CorruptFileSetAside, EveryDamagedCopyIsKept) {
    struct Case {
        const char* name;
        const char* file;
        std::function<void(const std::filesystem::path&)> change;
    };
    const Case cases[] = {
        {"settings", "settings.json",
         [](const std::filesystem::path& path) { JsonFileDefaults(path).set("k", 1); }},
        {"secrets", "credentials.json",
         [](const std::filesystem::path& path) { FileSecretBackend(path).add("svc", "a", "x"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto path = dir / c.file;
        std::multiset<std::string> kept;
        for (const char* damage : {"{first", "{second", "{third"}) {
            writeFileAtomically(path, damage);
            c.change(path);
        }
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().starts_with(std::string(c.file) + ".corrupt-")) {
                kept.insert(slurp(entry.path()));
            }
        }
        EXPECT_EQ(kept, (std::multiset<std::string>{"{first", "{second", "{third"}));
    }
    EXPECT_THROW(setAsideCorruptFile("/proc/vask-no-such-file"), FileError);
}

TEST(JsonFileDefaults, LeftoverTemporaryFileFromACrashIsIgnored) {
    test::TempDir dir;
    const auto path = dir / "settings.json";
    JsonFileDefaults(path).set("kept", 1);
    std::ofstream(dir / ".settings.json.tmp-1234") << "{\"kept\": 2, \"torn";

    JsonFileDefaults reopened(path);
    EXPECT_FALSE(reopened.loadError());
    EXPECT_EQ(reopened.integerValue("kept").optional(), 1);
}

TEST(JsonFileDefaults, KillingAWriterMidWriteNeverLeavesATornFile) {
    test::TempDir dir;
    const auto path = dir / "settings.json";
    JsonFileDefaults(path).set("payload", std::string(1 << 16, 'x'));

    for (int round = 0; round < 12; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            JsonFileDefaults writer(path);
            for (int i = 0;; ++i) {
                writer.set("payload",
                           std::string(static_cast<std::size_t>(1 << 16) + i, 'a' + i % 26));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + round * 3));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        JsonFileDefaults reader(path);
        ASSERT_FALSE(reader.loadError()) << "round " << round;
        const auto payload = reader.stringValue("payload");
        ASSERT_TRUE(payload.isPresent());
        EXPECT_GE(payload.value.size(), static_cast<std::size_t>(1 << 16));
    }
}

}  // namespace
}  // namespace vask
