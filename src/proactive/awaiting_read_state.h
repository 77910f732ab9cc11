#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/user_defaults.h"
#include "store/awaiting_reply.h"

namespace vask {

// Per chat id, the timestamp (Messages epoch) of the latest message the user marked as read.
using DismissedThrough = std::map<std::string, std::int64_t>;

// The watermarks in user defaults: one JSON object of chat id to integer, as a string.
class AwaitingReadStore {
  public:
    static constexpr const char* keyBase = "awaitingReply.dismissedThrough";

    // `key` is the instance-scoped key.
    AwaitingReadStore(UserDefaults& defaults, std::string key);

    // Missing or unreadable: no watermarks.
    DismissedThrough load() const;
    void save(const DismissedThrough& dismissedThrough);

  private:
    UserDefaults& defaults_;
    std::string key_;
};

class AwaitingReplyReadPolicy {
  public:
    // Raises each reply's watermark to its timestamp; a watermark never moves back.
    static void markAsRead(const std::vector<AwaitingReply>& replies,
                           DismissedThrough& dismissedThrough);
    // The replies with a newer message than their watermark, in order.
    static std::vector<AwaitingReply> unread(const std::vector<AwaitingReply>& replies,
                                             const DismissedThrough& dismissedThrough);
};

class AwaitingReplyDisplayFilter {
  public:
    static constexpr const char* defaultsKeyBase = "awaitingReply.displayDays";
    static constexpr std::array<int, 3> choices = {7, 14, 30};

    // `days` when it is one of the choices, else 7.
    static int effectiveDays(int days);

    // The replies at most `days` days old (7, 14 or 30; anything else counts as 7) at `now`
    // (Unix seconds), in order.
    static std::vector<AwaitingReply> apply(const std::vector<AwaitingReply>& replies, int days,
                                            std::int64_t now);
    // The shortest choice that shows every reply of `chatIds` still in `replies`; nothing when
    // none of them is.
    static std::optional<int> shortestShowing(const std::vector<AwaitingReply>& replies,
                                              const std::vector<std::string>& chatIds,
                                              std::int64_t now);
};

}  // namespace vask
