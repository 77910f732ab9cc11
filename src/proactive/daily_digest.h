#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/structured_logger.h"
#include "platform/published.h"
#include "platform/user_defaults.h"
#include "store/awaiting_reply.h"

namespace vask {

// Something coming up, as a daily digest lists it.
struct ComingUpItem {
    std::string title;
    // Unix seconds, when an exact time is known.
    std::optional<double> date;
    // When, as display text.
    std::string when;
    std::optional<std::string> chatId;
    std::optional<std::string> senderHandle;

    // The title, "|", then the date's Unix seconds in their shortest exact form with a fraction
    // ("100.0"), or the `when` text without a date.
    std::string id() const;

    bool operator==(const ComingUpItem&) const = default;
};

// A once-a-day summary: one line, the conversations that need a reply, what is coming up.
struct DailyDigest {
    std::string dayKey;
    // Unix seconds.
    double generatedAt = 0;
    std::string summaryLine;
    std::vector<AwaitingReply> repliesNeeded;
    std::vector<ComingUpItem> comingUp;

    bool operator==(const DailyDigest&) const = default;
};

// Keys as the field names. Every digest key is required; an item's "date", "chatId" and
// "senderHandle" are optional and left out when absent. from_json throws
// nlohmann::json::exception.
void to_json(nlohmann::json& json, const ComingUpItem& item);
void from_json(const nlohmann::json& json, ComingUpItem& item);
void to_json(nlohmann::json& json, const DailyDigest& digest);
void from_json(const nlohmann::json& json, DailyDigest& digest);

// Where a digest would be shown from. Nothing produces digests yet, so it only holds state.
// Main executor only.
class DigestViewModel {
  public:
    static constexpr const char* storeKeyBase = "dailyDigest.latest";
    static constexpr int defaultTargetHour = 8;

    explicit DigestViewModel(UserDefaults& defaults);

    Published<std::optional<DailyDigest>>& digest() { return digest_; }
    Published<bool>& pendingFocus() { return pendingFocus_; }
    int targetHour() const { return targetHour_; }
    const std::string& storeKey() const { return storeKey_; }
    bool isGenerating() const { return isGenerating_; }
    bool isStarted() const { return started_; }

  private:
    Published<std::optional<DailyDigest>> digest_;
    Published<bool> pendingFocus_{false};
    int targetHour_ = defaultTargetHour;
    std::string storeKey_;
    UserDefaults& defaults_;
    StructuredLogger logger_{"digest"};
    bool isGenerating_ = false;
    bool started_ = false;
};

}  // namespace vask
