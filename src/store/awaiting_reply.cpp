#include "store/awaiting_reply.h"

#include <array>

#include "store/messages_time.h"

namespace vask {
namespace {

constexpr std::array<std::string_view, 6> reactionVerbs = {
    "Loved", "Liked", "Disliked", "Laughed at", "Emphasized", "Questioned",
};

constexpr std::string_view leftQuote = "\u201C";
constexpr std::string_view rightQuote = "\u201D";

}  // namespace

std::int64_t AwaitingReply::effectiveTimestampUnix() const {
    if (timestampUnix) {
        return *timestampUnix;
    }
    return unixSecondsOfMessagesTime(timestamp);
}

bool AwaitingReply::isLikelyReaction(std::string_view text) {
    const bool endsQuoted = text.ends_with(rightQuote) || text.ends_with('"');
    for (const auto verb : reactionVerbs) {
        if (text.size() <= verb.size() || !text.starts_with(verb) || text[verb.size()] != ' ') {
            continue;
        }
        const auto rest = text.substr(verb.size() + 1);
        if (rest.starts_with(leftQuote) || rest.starts_with('"') || rest.starts_with("an ") ||
            rest.starts_with("a ") || endsQuoted) {
            return true;
        }
    }
    return false;
}

void to_json(nlohmann::json& json, const AwaitingReply& reply) {
    json = {{"chatId", reply.chatId},
            {"contactName", reply.contactName},
            {"sender", reply.sender},
            {"lastMessageText", reply.lastMessageText},
            {"timestamp", reply.timestamp}};
    if (reply.timestampUnix) {
        json["timestampUnix"] = *reply.timestampUnix;
    }
}

void from_json(const nlohmann::json& json, AwaitingReply& reply) {
    json.at("chatId").get_to(reply.chatId);
    json.at("contactName").get_to(reply.contactName);
    json.at("sender").get_to(reply.sender);
    json.at("lastMessageText").get_to(reply.lastMessageText);
    json.at("timestamp").get_to(reply.timestamp);
    reply.timestampUnix.reset();
    if (const auto it = json.find("timestampUnix"); it != json.end() && !it->is_null()) {
        reply.timestampUnix = it->get<std::int64_t>();
    }
}

}  // namespace vask
