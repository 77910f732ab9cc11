#include "proactive/needs_reply_service.h"

#include <nlohmann/json.hpp>

namespace vask {

// One model call and the callers waiting for it.
struct NeedsReplyService::Batch {
    std::vector<AwaitingReply> replies;
    std::vector<std::function<void(const Verdicts&)>> waiters;
};

// One classifyIfNeeded call: what it already knows and how many batches it still waits for.
struct NeedsReplyService::Call {
    Verdicts result;
    std::size_t pending = 0;
    bool cacheChanged = false;
    Completion completion;
};

NeedsReplyService::NeedsReplyService(UserDefaults& defaults, std::string cacheKey,
                                     MainExecutor& main, Executor& worker,
                                     CredentialsProvider credentialsProvider, Classifier classifier)
    : defaults_(defaults),
      cacheKey_(std::move(cacheKey)),
      main_(main),
      worker_(worker),
      credentialsProvider_(std::move(credentialsProvider)),
      classifier_(std::move(classifier)) {
    loadCache();
    Verdicts known;
    for (const auto& [chatId, cached] : cache_) {
        known[chatId] = cached.needsReply;
    }
    verdicts_.set(std::move(known));
}

NeedsReplyService::CredentialsProvider NeedsReplyService::credentialsFrom(
    std::function<AuthMode()> authMode) {
    return [authMode = std::move(authMode)] {
        const AuthMode mode = authMode();
        if (const auto* key = mode.asAPIKey()) {
            return RLMCredentials{key->key, std::nullopt};
        }
        if (const auto* managed = mode.asManaged()) {
            return RLMCredentials{std::nullopt, managed->customerToken};
        }
        return RLMCredentials{};
    };
}

NeedsReplyService::Classifier NeedsReplyService::classifierUsing(
    const CorvaneResponses& responses) {
    return [&responses](const std::vector<NeedsReplyClassifier::Item>& items,
                        const RLMCredentials& credentials) {
        return NeedsReplyClassifier::classify(
            items, credentials, [&responses](const CorvaneResponses::Request& request) {
                return responses.complete(request);
            });
    };
}

NeedsReplyService::~NeedsReplyService() {
    *alive_ = false;
}

void NeedsReplyService::loadCache() {
    const auto stored = defaults_.stringValue(cacheKey_);
    if (!stored.isPresent()) {
        return;
    }
    const auto json = nlohmann::json::parse(stored.value, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return;
    }
    std::map<std::string, Cached> loaded;
    for (const auto& [chatId, entry] : json.items()) {
        if (!entry.is_object() || !entry.contains("timestamp") || !entry.contains("needsReply") ||
            !entry["timestamp"].is_number_integer() || !entry["needsReply"].is_boolean()) {
            return;  // one bad entry makes the whole value unreadable
        }
        loaded[chatId] = {entry["timestamp"].get<std::int64_t>(), entry["needsReply"].get<bool>()};
    }
    cache_ = std::move(loaded);
}

void NeedsReplyService::persistCache() const {
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [chatId, cached] : cache_) {
        json[chatId] = {{"timestamp", cached.timestamp}, {"needsReply", cached.needsReply}};
    }
    try {
        defaults_.set(cacheKey_, json.dump());
    } catch (const std::exception& e) {
        logger_.error("needs_reply_cache_write_failed", {{"error", e.what()}});
    }
}

void NeedsReplyService::classifyIfNeeded(const std::vector<AwaitingReply>& replies,
                                         Completion completion) {
    auto call = std::make_shared<Call>();
    call->completion = std::move(completion);
    std::vector<AwaitingReply> toClassify;
    std::vector<std::pair<AwaitingReply, std::shared_ptr<Batch>>> joined;
    for (const auto& reply : replies) {
        if (const auto cached = cache_.find(reply.chatId);
            cached != cache_.end() && cached->second.timestamp == reply.timestamp) {
            call->result[reply.chatId] = cached->second.needsReply;
        } else if (const auto running = inFlight_.find({reply.chatId, reply.timestamp});
                   running != inFlight_.end()) {
            joined.emplace_back(reply, running->second);
        } else {
            toClassify.push_back(reply);
        }
    }

    // A joined reply takes its verdict from the batch that judges its message.
    const auto collect = [this, call](const AwaitingReply& reply) {
        return [this, call, reply](const Verdicts& verdicts) {
            if (const auto verdict = verdicts.find(reply.chatId); verdict != verdicts.end()) {
                // A batch for an older message may end after the newer message was judged:
                // the newer verdict stays cached and published.
                const auto cached = cache_.find(reply.chatId);
                if (cached == cache_.end() || cached->second.timestamp <= reply.timestamp) {
                    cache_[reply.chatId] = {reply.timestamp, verdict->second};
                    call->cacheChanged = true;
                }
                call->result[reply.chatId] = verdict->second;
            }
            if (--call->pending == 0) {
                finishCall(call);
            }
        };
    };
    for (const auto& [reply, batch] : joined) {
        ++call->pending;
        batch->waiters.emplace_back(collect(reply));
    }
    if (!toClassify.empty()) {
        auto batch = std::make_shared<Batch>();
        batch->replies = toClassify;
        std::vector<NeedsReplyClassifier::Item> items;
        for (const auto& reply : toClassify) {
            items.push_back({reply.chatId, reply.contactName, reply.lastMessageText});
            inFlight_[{reply.chatId, reply.timestamp}] = batch;
            ++call->pending;
            batch->waiters.emplace_back(collect(reply));
        }
        const auto credentials = credentialsProvider_();
        std::weak_ptr<bool> alive = alive_;
        // The worker holds copies, not this service, which may be gone when the call returns.
        worker_.post([this, alive, batch, items = std::move(items), credentials,
                      classifier = classifier_, logger = logger_, &main = main_] {
            Verdicts verdicts;
            try {
                verdicts = classifier(items, credentials);
            } catch (const std::exception& e) {
                logger.error("needs_reply_classification_failed", {{"error", e.what()}});
            }
            main.post(
                [this, alive, batch, verdicts = std::move(verdicts), requested = items.size()] {
                    if (alive.expired()) {
                        return;
                    }
                    if (!verdicts.empty()) {
                        logger_.info("needs_reply_classified",
                                     {{"requested", std::to_string(requested)},
                                      {"resolved", std::to_string(verdicts.size())}});
                    }
                    finishBatch(batch, verdicts);
                });
        });
    }
    if (call->pending == 0) {
        finishCall(call);
    }
}

void NeedsReplyService::finishBatch(const std::shared_ptr<Batch>& batch, const Verdicts& verdicts) {
    for (const auto& reply : batch->replies) {
        const auto key = std::make_pair(reply.chatId, reply.timestamp);
        if (const auto it = inFlight_.find(key); it != inFlight_.end() && it->second == batch) {
            inFlight_.erase(it);
        }
    }
    for (const auto& waiter : batch->waiters) {
        waiter(verdicts);
    }
}

void NeedsReplyService::finishCall(const std::shared_ptr<Call>& call) {
    if (call->cacheChanged) {
        persistCache();
    }
    auto merged = verdicts_.get();
    for (const auto& [chatId, verdict] : call->result) {
        const auto cached = cache_.find(chatId);
        merged[chatId] = cached != cache_.end() ? cached->second.needsReply : verdict;
    }
    verdicts_.set(std::move(merged));
    if (call->completion) {
        call->completion(call->result);
    }
}

}  // namespace vask
