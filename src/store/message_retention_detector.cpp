#include "store/message_retention_detector.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "foundation/structured_logger.h"
#include "platform/file_io.h"

namespace vask {
namespace {

using namespace std::chrono_literals;

// Preferences files are a few kilobytes; anything past this is not one.
constexpr std::size_t maximumPreferencesSize = std::size_t{16} * 1024 * 1024;
constexpr double secondsPerDay = 86400;

const StructuredLogger& logger() {
    static const StructuredLogger log("message-retention");
    return log;
}

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPointer = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

void logUnreadable(const std::filesystem::path& file, std::string_view reason) {
    logger().error("retention_preference_read_failed",
                   {{"path", file.string()}, {"error", std::string(reason)}});
}

std::optional<int> wholeDays(plist_t value) {
    switch (plist_get_node_type(value)) {
        case PLIST_UINT: {
            std::uint64_t raw = 0;
            plist_get_uint_val(value, &raw);
            // Property lists keep integers as 64-bit two's complement; negative values come back
            // as large unsigned ones.
            const auto signedValue = static_cast<std::int64_t>(raw);
            if (signedValue < std::numeric_limits<int>::min() ||
                signedValue > std::numeric_limits<int>::max()) {
                return std::nullopt;
            }
            return static_cast<int>(signedValue);
        }
        case PLIST_REAL: {
            double raw = 0;
            plist_get_real_val(value, &raw);
            if (!std::isfinite(raw) || std::trunc(raw) != raw ||
                raw < std::numeric_limits<int>::min() || raw > std::numeric_limits<int>::max()) {
                return std::nullopt;
            }
            return static_cast<int>(raw);
        }
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<int> MessageRetentionDetector::keepMessagesPreference() noexcept {
    return keepMessagesPreference(processEnvironment());
}

std::optional<int> MessageRetentionDetector::keepMessagesPreference(
    const Environment& env) noexcept {
    const auto file = preferencesFile(env);
    if (!file) {
        return std::nullopt;
    }
    return keepMessagesPreference(*file);
}

std::optional<int> MessageRetentionDetector::keepMessagesPreference(
    const std::filesystem::path& file) noexcept {
    std::optional<std::string> contents;
    try {
        contents = readFileIfExists(file);
    } catch (const std::exception& error) {
        logUnreadable(file, error.what());
        return std::nullopt;
    }
    if (!contents) {
        return std::nullopt;
    }
    if (contents->size() > maximumPreferencesSize) {
        logUnreadable(file, "file too large");
        return std::nullopt;
    }
    plist_t parsed = nullptr;
    plist_from_memory(contents->data(), static_cast<std::uint32_t>(contents->size()), &parsed);
    const PlistPointer root(parsed);
    if (!root) {
        logUnreadable(file, "not a property list");
        return std::nullopt;
    }
    if (plist_get_node_type(root.get()) != PLIST_DICT) {
        logUnreadable(file, "not a dictionary");
        return std::nullopt;
    }
    const plist_t value = plist_dict_get_item(root.get(), keepMessagesKey);
    if (value == nullptr) {
        return std::nullopt;
    }
    return wholeDays(value);
}

std::optional<std::filesystem::path> MessageRetentionDetector::preferencesFile(
    const Environment& env) {
    std::filesystem::path library;
    if (const auto it = env.find("CHAT_DB_PATH"); it != env.end()) {
        if (it->second.empty()) {
            return std::nullopt;
        }
        library = std::filesystem::path(it->second).parent_path().parent_path();
    } else if (const auto home = homeDirectory(env)) {
        library = *home / "Library";
    } else {
        return std::nullopt;
    }
    return library / "Preferences" / (std::string(preferencesDomain) + ".plist");
}

std::optional<MessageRetentionAssessment> MessageRetentionDetector::assess(
    std::optional<int> configuredDays, std::optional<Clock::WallTime> oldestMessageDate,
    Clock::WallTime now) noexcept {
    using Assessment = MessageRetentionAssessment;
    if (configuredDays) {
        if (const auto policy = Assessment::policyFromRawValue(*configuredDays)) {
            return Assessment{*policy, Assessment::Evidence::preference};
        }
        return std::nullopt;
    }
    if (!oldestMessageDate) {
        return std::nullopt;
    }
    const double ageDays =
        std::chrono::duration<double>(now - *oldestMessageDate).count() / secondsPerDay;
    if (ageDays < 0) {
        return std::nullopt;
    }
    if (ageDays >= 21 && ageDays <= 45) {
        return Assessment{Assessment::Policy::thirtyDays, Assessment::Evidence::oldestMessage};
    }
    if (ageDays >= 335 && ageDays <= 395) {
        return Assessment{Assessment::Policy::oneYear, Assessment::Evidence::oldestMessage};
    }
    return std::nullopt;
}

}  // namespace vask
