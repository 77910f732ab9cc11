#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/awaiting_reply.h"

namespace vask {

// Conversations the notifier already knows, with the timestamp (Messages epoch) of the latest
// message it knew them by. A conversation stays known after it leaves the list, so one that
// drops out of the top 20 and comes back with the same message is not news; a newer message is.
// Nothing (an id stored before timestamps were kept) matches whatever message the conversation
// shows next.
using KnownConversations = std::map<std::string, std::optional<std::int64_t>>;

class AwaitingReplyPolicy {
  public:
    struct Decision {
        std::set<std::string> notifyIDs;
        KnownConversations nextKnown;
    };

    // Known conversations whose latest message is older than this (and which are not in the
    // list) are forgotten: the list never reaches back that far.
    static constexpr std::int64_t knownRetentionSeconds = std::int64_t{31} * 86400;

    static KnownConversations baselineForEnable(const std::vector<AwaitingReply>& current);

    // `now` in Unix seconds. Conversations that have waited less than `graceSeconds` are left
    // out of both results, so a later evaluation finds them due.
    static Decision decide(const std::vector<AwaitingReply>& current,
                           const KnownConversations& known, bool hasSeeded, std::int64_t now,
                           std::int64_t graceSeconds);
};

}  // namespace vask
