#include "proactive/awaiting_read_state.h"

#include <algorithm>
#include <limits>

#include <nlohmann/json.hpp>

namespace vask {

AwaitingReadStore::AwaitingReadStore(UserDefaults& defaults, std::string key)
    : defaults_(defaults), key_(std::move(key)) {}

DismissedThrough AwaitingReadStore::load() const {
    const auto stored = defaults_.stringValue(key_);
    if (!stored.isPresent()) {
        return {};
    }
    const auto json = nlohmann::json::parse(stored.value, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return {};
    }
    DismissedThrough loaded;
    for (const auto& [chatId, timestamp] : json.items()) {
        if (!timestamp.is_number_integer()) {
            return {};
        }
        loaded[chatId] = timestamp.get<std::int64_t>();
    }
    return loaded;
}

void AwaitingReadStore::save(const DismissedThrough& dismissedThrough) {
    defaults_.set(key_, nlohmann::json(dismissedThrough).dump());
}

void AwaitingReplyReadPolicy::markAsRead(const std::vector<AwaitingReply>& replies,
                                         DismissedThrough& dismissedThrough) {
    for (const auto& reply : replies) {
        const auto [it, inserted] = dismissedThrough.try_emplace(reply.chatId, reply.timestamp);
        if (!inserted) {
            it->second = std::max(it->second, reply.timestamp);
        }
    }
}

std::vector<AwaitingReply> AwaitingReplyReadPolicy::unread(
    const std::vector<AwaitingReply>& replies, const DismissedThrough& dismissedThrough) {
    std::vector<AwaitingReply> kept;
    for (const auto& reply : replies) {
        const auto watermark = dismissedThrough.find(reply.chatId);
        if (watermark == dismissedThrough.end() || watermark->second < reply.timestamp) {
            kept.push_back(reply);
        }
    }
    return kept;
}

int AwaitingReplyDisplayFilter::effectiveDays(int days) {
    return std::find(choices.begin(), choices.end(), days) != choices.end() ? days : choices[0];
}

std::vector<AwaitingReply> AwaitingReplyDisplayFilter::apply(
    const std::vector<AwaitingReply>& replies, int days, std::int64_t now) {
    const int window = effectiveDays(days);
    const std::int64_t cutoff = now - static_cast<std::int64_t>(window) * 86400;
    std::vector<AwaitingReply> kept;
    std::copy_if(replies.begin(), replies.end(), std::back_inserter(kept),
                 [&](const AwaitingReply& r) { return r.effectiveTimestampUnix() >= cutoff; });
    return kept;
}

std::optional<int> AwaitingReplyDisplayFilter::shortestShowing(
    const std::vector<AwaitingReply>& replies, const std::vector<std::string>& chatIds,
    std::int64_t now) {
    std::vector<AwaitingReply> named;
    std::copy_if(replies.begin(), replies.end(), std::back_inserter(named),
                 [&](const AwaitingReply& r) {
                     return std::find(chatIds.begin(), chatIds.end(), r.chatId) != chatIds.end();
                 });
    if (named.empty()) {
        return std::nullopt;
    }
    for (const int days : choices) {
        if (apply(named, days, now).size() == named.size()) {
            return days;
        }
    }
    return choices.back();
}

}  // namespace vask
