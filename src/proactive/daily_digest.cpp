#include "proactive/daily_digest.h"

#include <charconv>

#include "foundation/app_environment.h"

namespace vask {
namespace {

// The shortest text that reads back to `seconds`, always with a fraction or an exponent.
std::string shortestSeconds(double seconds) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".eEn") == std::string::npos) {
        text += ".0";
    }
    return text;
}

template <typename T>
void readOptional(const nlohmann::json& json, const char* key, std::optional<T>& out) {
    const auto found = json.find(key);
    if (found == json.end() || found->is_null()) {
        out.reset();
    } else {
        out = found->get<T>();
    }
}

}  // namespace

std::string ComingUpItem::id() const {
    return title + "|" + (date ? shortestSeconds(*date) : when);
}

void to_json(nlohmann::json& json, const ComingUpItem& item) {
    json = nlohmann::json::object();
    json["title"] = item.title;
    if (item.date) {
        json["date"] = *item.date;
    }
    json["when"] = item.when;
    if (item.chatId) {
        json["chatId"] = *item.chatId;
    }
    if (item.senderHandle) {
        json["senderHandle"] = *item.senderHandle;
    }
}

void from_json(const nlohmann::json& json, ComingUpItem& item) {
    item.title = json.at("title").get<std::string>();
    readOptional(json, "date", item.date);
    item.when = json.at("when").get<std::string>();
    readOptional(json, "chatId", item.chatId);
    readOptional(json, "senderHandle", item.senderHandle);
}

void to_json(nlohmann::json& json, const DailyDigest& digest) {
    json = nlohmann::json{{"dayKey", digest.dayKey},
                          {"generatedAt", digest.generatedAt},
                          {"summaryLine", digest.summaryLine},
                          {"repliesNeeded", digest.repliesNeeded},
                          {"comingUp", digest.comingUp}};
}

void from_json(const nlohmann::json& json, DailyDigest& digest) {
    digest.dayKey = json.at("dayKey").get<std::string>();
    digest.generatedAt = json.at("generatedAt").get<double>();
    digest.summaryLine = json.at("summaryLine").get<std::string>();
    digest.repliesNeeded = json.at("repliesNeeded").get<std::vector<AwaitingReply>>();
    digest.comingUp = json.at("comingUp").get<std::vector<ComingUpItem>>();
}

DigestViewModel::DigestViewModel(UserDefaults& defaults)
    : storeKey_(AppEnvironment::instanceScopedKey(storeKeyBase)), defaults_(defaults) {}

}  // namespace vask
