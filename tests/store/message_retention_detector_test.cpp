#include "store/message_retention_detector.h"

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using Assessment = MessageRetentionAssessment;
using Policy = MessageRetentionAssessment::Policy;
using Evidence = MessageRetentionAssessment::Evidence;

std::string xmlPreferences(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           std::string(body) + "\n</plist>\n";
}

std::string keepDays(std::string_view value) {
    return xmlPreferences("<dict>\n\t<key>KeepMessageForDays</key>\n\t" + std::string(value) +
                          "\n</dict>");
}

TEST(MessageRetentionDetectorTest, AssessmentFromSettingOrOldestMessage) {
    const Clock::WallTime now = std::chrono::sys_days(std::chrono::year(2026) / 3 / 1);
    constexpr auto day = 86400s;
    const auto daysAgo = [&](double days) {
        return now - std::chrono::duration_cast<Clock::Duration>(
                         std::chrono::duration<double>(days * 86400));
    };
    struct Case {
        const char* name;
        std::optional<int> configuredDays;
        std::optional<Clock::WallTime> oldest;
        std::optional<Assessment> expected;
    };
    const std::vector<Case> cases = {
        {"setting of 30 days, whatever the history", 30, daysAgo(400),
         Assessment{Policy::thirtyDays, Evidence::preference}},
        {"setting of a year, no history", 365, std::nullopt,
         Assessment{Policy::oneYear, Evidence::preference}},
        {"setting of 0 (forever) ignores a 30-day-old history", 0, daysAgo(30), std::nullopt},
        {"another setting names no policy", 7, daysAgo(30), std::nullopt},
        {"negative setting", -1, daysAgo(30), std::nullopt},
        {"nothing known", std::nullopt, std::nullopt, std::nullopt},
        {"exactly 21 days", std::nullopt, now - 21 * day,
         Assessment{Policy::thirtyDays, Evidence::oldestMessage}},
        {"exactly 45 days", std::nullopt, now - 45 * day,
         Assessment{Policy::thirtyDays, Evidence::oldestMessage}},
        {"20.9 days", std::nullopt, daysAgo(20.9), std::nullopt},
        {"a second short of 21 days", std::nullopt, now - 21 * day + 1s, std::nullopt},
        {"45.1 days", std::nullopt, daysAgo(45.1), std::nullopt},
        {"100 days", std::nullopt, now - 100 * day, std::nullopt},
        {"exactly 335 days", std::nullopt, now - 335 * day,
         Assessment{Policy::oneYear, Evidence::oldestMessage}},
        {"exactly 395 days", std::nullopt, now - 395 * day,
         Assessment{Policy::oneYear, Evidence::oldestMessage}},
        {"396 days", std::nullopt, now - 396 * day, std::nullopt},
        {"three years", std::nullopt, now - 3 * 365 * day, std::nullopt},
        {"just now", std::nullopt, now, std::nullopt},
        {"one second in the future", std::nullopt, now + 1s, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MessageRetentionDetector::assess(c.configuredDays, c.oldest, now), c.expected);
    }
}

TEST(MessageRetentionDetectorTest, KeepMessagesSettingFromThePreferencesFile) {
    // {"KeepMessageForDays": 365, "Other": "x"} as a binary property list.
    const std::string binary(
        "\x62\x70\x6c\x69\x73\x74\x30\x30\xd2\x01\x02\x03\x04\x5f\x10\x12\x4b\x65\x65\x70\x4d"
        "\x65\x73\x73\x61\x67\x65\x46\x6f\x72\x44\x61\x79\x73\x55\x4f\x74\x68\x65\x72\x11\x01"
        "\x6d\x51\x78\x08\x0d\x22\x28\x2b\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00"
        "\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x2d",
        82);
    struct Case {
        const char* name;
        std::optional<std::string> contents;  // nothing: no file
        std::optional<int> expected;
        bool logged;
    };
    const std::vector<Case> cases = {
        {"no preferences file: not set", std::nullopt, std::nullopt, false},
        {"thirty days", keepDays("<integer>30</integer>"), 30, false},
        {"a year", keepDays("<integer>365</integer>"), 365, false},
        {"binary property list", binary, 365, false},
        {"forever", keepDays("<integer>0</integer>"), 0, false},
        {"negative number", keepDays("<integer>-1</integer>"), -1, false},
        {"whole real number", keepDays("<real>30</real>"), 30, false},
        {"fractional number is no count of days", keepDays("<real>30.5</real>"), std::nullopt,
         false},
        {"too large for a count of days", keepDays("<integer>99999999999</integer>"), std::nullopt,
         false},
        {"text", keepDays("<string>30</string>"), std::nullopt, false},
        {"boolean", keepDays("<true/>"), std::nullopt, false},
        {"other settings only",
         xmlPreferences("<dict><key>SaveConversations</key><integer>30</integer></dict>"),
         std::nullopt, false},
        {"not a dictionary", xmlPreferences("<array><integer>30</integer></array>"), std::nullopt,
         true},
        {"not a property list", std::string("KeepMessageForDays = 30"), std::nullopt, true},
        {"empty file", std::string(), std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::LogCapture logs;
        const auto file = dir / "com.apple.iChat.plist";
        if (c.contents) {
            writeFileAtomically(file, *c.contents);
        }
        EXPECT_EQ(MessageRetentionDetector::keepMessagesPreference(file), c.expected);
        EXPECT_EQ(logs->contains("retention_preference_read_failed"), c.logged);
    }
}

TEST(MessageRetentionDetectorTest, PreferencesLiveBesideTheMessagesFolder) {
    test::TempDir home;
    const auto inHome = home / "Library" / "Preferences" / "com.apple.iChat.plist";
    struct Case {
        const char* name;
        Environment env;
        std::optional<std::filesystem::path> expected;
    };
    const std::vector<Case> cases = {
        {"home folder", {{"HOME", home.path().string()}}, inHome},
        {"a copied Library named by CHAT_DB_PATH",
         {{"HOME", home.path().string()}, {"CHAT_DB_PATH", "/data/mac/Library/Messages/chat.db"}},
         std::filesystem::path("/data/mac/Library/Preferences/com.apple.iChat.plist")},
        {"an empty CHAT_DB_PATH names nothing",
         {{"HOME", home.path().string()}, {"CHAT_DB_PATH", ""}},
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MessageRetentionDetector::preferencesFile(c.env), c.expected);
    }

    const Environment env = {{"HOME", home.path().string()}};
    EXPECT_EQ(MessageRetentionDetector::keepMessagesPreference(env), std::nullopt);
    std::filesystem::create_directories(inHome.parent_path());
    writeFileAtomically(inHome, keepDays("<integer>30</integer>"));
    EXPECT_EQ(MessageRetentionDetector::keepMessagesPreference(env), 30);
}

}  // namespace
}  // namespace vask
