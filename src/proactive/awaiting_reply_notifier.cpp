#include "proactive/awaiting_reply_notifier.h"

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "proactive/awaiting_read_state.h"

namespace vask {
namespace {

constexpr std::array<const char*, 5> sampleNames = {"Maya", "Theo", "Priya", "Jonas", "Lena"};

std::string chatIdsValue(const std::vector<std::string>& chatIds) {
    return nlohmann::json(chatIds).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string summaryBody(const AwaitingNotification::Summary& summary) {
    std::string body;
    for (const auto& name : summary.names) {
        body += (body.empty() ? "" : ", ") + name;
    }
    const auto named = static_cast<int>(summary.names.size());
    if (summary.count > named) {
        body += ", and " + std::to_string(summary.count - named) + " more";
    }
    return body;
}

}  // namespace

AwaitingReplyNotifier::AwaitingReplyNotifier(NotificationService& service, UserDefaults& defaults,
                                             std::function<std::string(std::string_view)> scopeKey,
                                             Hooks hooks, MainExecutor& main, const Clock& clock,
                                             Scheduler& scheduler)
    : service_(service),
      defaults_(defaults),
      hooks_(std::move(hooks)),
      main_(main),
      clock_(clock),
      scheduler_(scheduler),
      seededKey_(scopeKey(seededKeyBase)),
      storedIDsKey_(scopeKey(storedIDsKeyBase)),
      storedTimestampsKey_(scopeKey(storedTimestampsKeyBase)) {
    const auto timestamps = defaults_.value(storedTimestampsKey_);
    for (const auto& chatId : defaults_.stringArrayValue(storedIDsKey_).valueOr({})) {
        std::optional<std::int64_t> timestamp;
        if (timestamps && timestamps->is_object() && timestamps->contains(chatId) &&
            (*timestamps)[chatId].is_number_integer()) {
            timestamp = (*timestamps)[chatId].get<std::int64_t>();
        }
        known_[chatId] = timestamp;
    }
    hasSeeded_ = defaults_.boolValue(seededKey_).valueOr(false);
}

AwaitingReplyNotifier::~AwaitingReplyNotifier() {
    *alive_ = false;
    timer_.cancel();
}

std::int64_t AwaitingReplyNotifier::nowUnix() const {
    return std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch())
        .count();
}

void AwaitingReplyNotifier::persistKnown() {
    std::vector<std::string> ids;
    nlohmann::json timestamps = nlohmann::json::object();
    for (const auto& [chatId, timestamp] : known_) {
        ids.push_back(chatId);
        if (timestamp) {
            timestamps[chatId] = *timestamp;
        }
    }
    defaults_.set(storedTimestampsKey_, std::move(timestamps));
    defaults_.set(storedIDsKey_, ids);
}

void AwaitingReplyNotifier::start(const std::optional<Replies>& baseline,
                                  std::optional<int> epoch) {
    if ((epoch && *epoch != enableEpoch_) || started_) {
        return;
    }
    if (baseline) {
        known_ = AwaitingReplyPolicy::baselineForEnable(*baseline);
        persistKnown();
        hasSeeded_ = true;
        defaults_.set(seededKey_, true);
        logger_.info("awaiting_notifier_seeded",
                     {{"count", std::to_string(known_.size())}, {"source", "enable"}});
    }
    started_ = true;
    routeTaps();
    std::weak_ptr<bool> alive = alive_;
    repliesSubscription_ = hooks_.subscribeReplies([this, alive](const Replies& replies) {
        if (alive.expired()) {
            return;
        }
        latestReplies_ = replies;
        evaluate(replies);
    });
    timer_ = scheduler_.every(evaluationInterval, [this, alive] {
        main_.post([this, alive] {
            if (!alive.expired() && started_) {
                evaluate(latestReplies_);
            }
        });
    });
    logger_.info("awaiting_notifier_started", {{"seeded", hasSeeded_ ? "true" : "false"},
                                               {"known", std::to_string(known_.size())}});
}

void AwaitingReplyNotifier::routeTaps() {
    service_.tapHandlers[openAwaitingAction] =
        [hooks = hooks_, &clock = clock_](const NotificationUserInfo& userInfo) {
            std::vector<std::string> named;
            if (const auto ids = userInfo.find(chatIdsKey); ids != userInfo.end()) {
                const auto json = nlohmann::json::parse(ids->second, nullptr, false);
                if (json.is_array()) {
                    for (const auto& id : json) {
                        if (id.is_string()) {
                            named.push_back(id.get<std::string>());
                        }
                    }
                }
            }
            if (hooks.currentReplies && hooks.showDays) {
                const auto now =
                    std::chrono::duration_cast<std::chrono::seconds>(clock.now().time_since_epoch())
                        .count();
                if (const auto days = AwaitingReplyDisplayFilter::shortestShowing(
                        hooks.currentReplies(), named, now)) {
                    hooks.showDays(*days);
                }
            }
            if (hooks.openMain) {
                hooks.openMain();
            }
            if (hooks.focusAwaitingScreen) {
                hooks.focusAwaitingScreen();
            }
        };
}

void AwaitingReplyNotifier::stop() {
    ++enableEpoch_;
    if (!started_) {
        return;
    }
    started_ = false;
    repliesSubscription_.cancel();
    timer_.cancel();
    latestReplies_.clear();
    logger_.info("awaiting_notifier_stopped");
}

void AwaitingReplyNotifier::evaluate(const Replies& replies) {
    if (!hooks_.hasSynced() || (hooks_.listIsLoaded && !hooks_.listIsLoaded())) {
        return;
    }
    const bool wasSeeded = hasSeeded_;
    auto decision =
        AwaitingReplyPolicy::decide(replies, known_, hasSeeded_, nowUnix(), graceSeconds);
    known_ = std::move(decision.nextKnown);
    persistKnown();
    if (!wasSeeded) {
        hasSeeded_ = true;
        defaults_.set(seededKey_, true);
        logger_.info("awaiting_notifier_seeded", {{"count", std::to_string(known_.size())}});
        return;
    }
    if (decision.notifyIDs.empty()) {
        return;
    }
    Replies candidates;
    std::copy_if(replies.begin(), replies.end(), std::back_inserter(candidates),
                 [&](const AwaitingReply& r) { return decision.notifyIDs.contains(r.chatId); });
    main_.post([this, alive = std::weak_ptr<bool>(alive_), candidates, epoch = enableEpoch_] {
        if (!alive.expired()) {
            gateAndPost(candidates, epoch);
        }
    });
}

bool AwaitingReplyNotifier::stillEnabled(int epoch) const {
    return epoch == enableEpoch_ && hooks_.proactiveSurfacesEnabled();
}

void AwaitingReplyNotifier::gateAndPost(const Replies& candidates, int epoch) {
    if (!stillEnabled(epoch)) {
        return;
    }
    hooks_.classify(candidates, [this, alive = std::weak_ptr<bool>(alive_), candidates,
                                 epoch](const Verdicts& verdicts) {
        if (alive.expired()) {
            return;
        }
        Replies kept;
        std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(kept),
                     [&](const AwaitingReply& r) {
                         const auto verdict = verdicts.find(r.chatId);
                         return verdict == verdicts.end() || verdict->second;
                     });
        if (kept.empty()) {
            logger_.info("awaiting_notifier_gated_all",
                         {{"candidates", std::to_string(candidates.size())}});
            return;
        }
        if (!stillEnabled(epoch)) {
            logger_.info("awaiting_notifier_suppressed_disabled");
            return;
        }
        post(shape(kept), epoch);
    });
}

AwaitingNotification AwaitingReplyNotifier::shape(const Replies& candidates) {
    if (candidates.size() == 1) {
        const auto& only = candidates.front();
        return {
            AwaitingNotification::Personal{only.chatId, only.contactName, only.lastMessageText}};
    }
    AwaitingNotification::Summary summary{static_cast<int>(candidates.size()), {}, {}};
    for (std::size_t i = 0; i < std::min<std::size_t>(candidates.size(), 3); ++i) {
        summary.names.push_back(candidates[i].contactName);
    }
    for (const auto& candidate : candidates) {
        summary.chatIds.push_back(candidate.chatId);
    }
    return {summary};
}

void AwaitingReplyNotifier::post(const AwaitingNotification& notification, int epoch) {
    service_.ensureAuthorized([this, alive = std::weak_ptr<bool>(alive_), notification,
                               epoch](bool authorized) {
        if (alive.expired()) {
            return;
        }
        if (!authorized) {
            logger_.info("awaiting_notifier_unauthorized");
            return;
        }
        if (!stillEnabled(epoch)) {
            logger_.info("awaiting_notifier_suppressed_disabled");
            return;
        }
        if (const auto* summary = std::get_if<AwaitingNotification::Summary>(&notification.value)) {
            logger_.info("awaiting_notifier_post",
                         {{"kind", "summary"}, {"count", std::to_string(summary->count)}});
            service_.post(
                "awaiting-summary",
                std::to_string(summary->count) + " people are waiting on a reply",
                summaryBody(*summary),
                {{"action", openAwaitingAction}, {chatIdsKey, chatIdsValue(summary->chatIds)}});
            return;
        }
        const auto& personal = std::get<AwaitingNotification::Personal>(notification.value);
        logger_.info("awaiting_notifier_post", {{"kind", "personal"}});
        service_.post("awaiting-" + personal.chatId,
                      personal.contactName + " is waiting on a reply", personal.message,
                      {{"action", openAwaitingAction},
                       {"chatId", personal.chatId},
                       {chatIdsKey, chatIdsValue({personal.chatId})}});
    });
}

void AwaitingReplyNotifier::fireSampleNotification(int count) {
    const std::int64_t now = nowUnix();
    AwaitingNotification notification;
    if (count < 2) {
        notification.value = AwaitingNotification::Personal{
            "test-sample-" + std::to_string(now), "Sample Person", "are we still on for tonight?"};
    } else {
        AwaitingNotification::Summary summary{count, {}, {}};
        for (int i = 0; i < std::min(count, 3); ++i) {
            summary.names.emplace_back(sampleNames[static_cast<std::size_t>(i)]);
        }
        notification.value = summary;
    }
    main_.post([this, alive = std::weak_ptr<bool>(alive_), notification, epoch = enableEpoch_] {
        if (!alive.expired()) {
            post(notification, epoch);
        }
    });
}

}  // namespace vask
