#include "proactive/awaiting_reply_policy.h"

namespace vask {
namespace {

constexpr std::int64_t nanosecondsPerSecond = 1000000000;
constexpr std::int64_t messagesEpochOffsetSeconds = 978307200;

bool isNews(const AwaitingReply& reply, const KnownConversations& known) {
    const auto entry = known.find(reply.chatId);
    if (entry == known.end()) {
        return true;
    }
    return entry->second && *entry->second < reply.timestamp;
}

}  // namespace

KnownConversations AwaitingReplyPolicy::baselineForEnable(
    const std::vector<AwaitingReply>& current) {
    KnownConversations baseline;
    for (const auto& reply : current) {
        baseline[reply.chatId] = reply.timestamp;
    }
    return baseline;
}

AwaitingReplyPolicy::Decision AwaitingReplyPolicy::decide(const std::vector<AwaitingReply>& current,
                                                          const KnownConversations& known,
                                                          bool hasSeeded, std::int64_t now,
                                                          std::int64_t graceSeconds) {
    Decision decision;
    std::set<std::string> inList;
    std::set<std::string> fresh;
    for (const auto& reply : current) {
        inList.insert(reply.chatId);
        if (hasSeeded && isNews(reply, known)) {
            if (now - reply.effectiveTimestampUnix() < graceSeconds) {
                fresh.insert(reply.chatId);
            } else {
                decision.notifyIDs.insert(reply.chatId);
            }
        }
    }
    const std::int64_t oldest =
        (now - knownRetentionSeconds - messagesEpochOffsetSeconds) * nanosecondsPerSecond;
    for (const auto& [chatId, timestamp] : known) {
        if (!inList.contains(chatId) && timestamp && *timestamp >= oldest) {
            decision.nextKnown[chatId] = timestamp;
        }
    }
    for (const auto& reply : current) {
        if (!fresh.contains(reply.chatId)) {
            decision.nextKnown[reply.chatId] = reply.timestamp;
        } else if (const auto earlier = known.find(reply.chatId); earlier != known.end()) {
            decision.nextKnown[reply.chatId] = earlier->second;
        }
    }
    return decision;
}

}  // namespace vask
