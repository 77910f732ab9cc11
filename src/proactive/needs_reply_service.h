#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/rlm_credentials.h"
#include "foundation/auth_mode.h"
#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/user_defaults.h"
#include "proactive/needs_reply_classifier.h"
#include "store/awaiting_reply.h"

namespace vask {

// Which awaiting conversations need a reply, by chat id. Judges each latest message once: the
// verdicts are cached by chat id and message timestamp (persisted in user defaults), and a
// message already being judged is joined rather than sent again. Lives on the main executor; the
// model call runs on the worker executor.
class NeedsReplyService {
  public:
    using Verdicts = NeedsReplyClassifier::Verdicts;
    using CredentialsProvider = std::function<RLMCredentials()>;
    // Blocking; run on the worker executor.
    using Classifier = std::function<Verdicts(const std::vector<NeedsReplyClassifier::Item>&,
                                              const RLMCredentials&)>;
    using Completion = std::function<void(const Verdicts&)>;

    static constexpr std::string_view cacheKeyBase = "needsReply.cache.v1";

    // `cacheKey` is the instance-scoped key of the cache.
    NeedsReplyService(UserDefaults& defaults, std::string cacheKey, MainExecutor& main,
                      Executor& worker, CredentialsProvider credentialsProvider,
                      Classifier classifier);
    ~NeedsReplyService();
    NeedsReplyService(const NeedsReplyService&) = delete;
    NeedsReplyService& operator=(const NeedsReplyService&) = delete;

    // The application's credentials: an API key alone, or a managed account's customer token
    // alone (never its access token), or none.
    static CredentialsProvider credentialsFrom(std::function<AuthMode()> authMode);
    // The application's classifier: one call through the relay's responses client.
    static Classifier classifierUsing(const CorvaneResponses& responses);

    // Main executor. `completion` runs on the main executor with the verdicts of the replies
    // that have one (at once when every reply is cached).
    void classifyIfNeeded(const std::vector<AwaitingReply>& replies, Completion completion);

    // Every verdict known, by chat id.
    Published<Verdicts>& verdicts() { return verdicts_; }

  private:
    struct Cached {
        std::int64_t timestamp = 0;
        bool needsReply = false;
    };
    struct Batch;
    struct Call;

    void loadCache();
    void persistCache() const;
    void finishBatch(const std::shared_ptr<Batch>& batch, const Verdicts& verdicts);
    void finishCall(const std::shared_ptr<Call>& call);

    UserDefaults& defaults_;
    std::string cacheKey_;
    MainExecutor& main_;
    Executor& worker_;
    CredentialsProvider credentialsProvider_;
    Classifier classifier_;
    StructuredLogger logger_{"needs-reply"};
    std::map<std::string, Cached> cache_;
    std::map<std::pair<std::string, std::int64_t>, std::shared_ptr<Batch>> inFlight_;
    Published<Verdicts> verdicts_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vask
