#pragma once

#include <filesystem>
#include <optional>

#include "platform/clock.h"
#include "platform/environment.h"
#include "store/message_retention_assessment.h"

namespace vask {

// Whether the Messages app deletes old messages: its own setting when there is one, otherwise a
// guess from the age of the oldest message, so the user learns why the history stops where it
// does.
//
// On Linux the setting comes from the Messages preferences file copied beside the Messages
// folder: <the Messages folder's parent>/Preferences/com.apple.iChat.plist, XML or binary; for
// the default database path that is ~/Library/Preferences/com.apple.iChat.plist.
class MessageRetentionDetector {
  public:
    MessageRetentionDetector() = delete;

    static constexpr const char* preferencesDomain = "com.apple.iChat";
    static constexpr const char* keepMessagesKey = "KeepMessageForDays";

    // Days the Messages app keeps messages; absent when the setting is not there (no file, a
    // file that does not parse, no such key, a value that is not a whole number).
    static std::optional<int> keepMessagesPreference() noexcept;
    static std::optional<int> keepMessagesPreference(const Environment& env) noexcept;
    static std::optional<int> keepMessagesPreference(const std::filesystem::path& file) noexcept;

    // The preferences file that goes with the Messages database the environment names
    // ($CHAT_DB_PATH, else ~/Library/Messages/chat.db); nothing when no database is named.
    static std::optional<std::filesystem::path> preferencesFile(const Environment& env);

    // Absent means no retention limit is known. A configured value decides alone: 30 and 365
    // name a policy, anything else none. Otherwise an oldest message 21 to 45 days old suggests
    // thirty days, 335 to 395 days one year (bounds included).
    static std::optional<MessageRetentionAssessment> assess(
        std::optional<int> configuredDays, std::optional<Clock::WallTime> oldestMessageDate,
        Clock::WallTime now) noexcept;
};

}  // namespace vask
