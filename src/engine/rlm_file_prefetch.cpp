#include "engine/rlm_file_prefetch.h"

#include <atomic>
#include <memory>
#include <stop_token>

#include "platform/text.h"

namespace vask {

bool RLMFilePrefetch::prefetchFilesIfNeeded(const std::string& prompt, const std::string& dbPath,
                                            const RLMCredentials& credentials,
                                            const std::optional<ModelRoute>& visionRoute,
                                            std::stop_token quit) const {
    if (!visionRoute) {
        return false;
    }
    const auto visionModel = visionRoute->requestedModel();
    const std::string promptChars = std::to_string(text::graphemeCount(prompt));
    logger_.info("file_prefetch_starting",
                 {{"vision_model", visionModel.value_or("tier_default")},
                  {"has_credentials", presentAndNotBlank(credentials.apiKey) ||
                                              presentAndNotBlank(credentials.customerToken)
                                          ? "true"
                                          : "false"},
                  {"auth_type",
                   presentAndNotBlank(credentials.customerToken) ? "customer_token" : "api_key"},
                  {"prompt_chars", promptChars}});
    const FileAccessConfig config = settings_.fileAccessConfig
                                        ? settings_.fileAccessConfig(visionModel)
                                        : FileAccessConfig::defaults(visionModel);
    logger_.info("file_prefetch_config",
                 {{"scopes_count", std::to_string(config.allowedScopes.size())},
                  {"vision_mode", std::string(toString(config.useVision))},
                  {"max_files", std::to_string(config.maxFiles)}});

    std::unique_ptr<FilePrefetchService> service;
    try {
        if (!settings_.filePrefetchServiceFactory) {
            throw Error("file access is not available");
        }
        service = settings_.filePrefetchServiceFactory(dbPath, credentials.apiKey,
                                                       credentials.customerToken, config);
    } catch (const std::exception& e) {
        logger_.error("file_prefetch_failed", {{"error", e.what()}});
        return false;
    }

    // The prefetch is not bound to the turn: the time limit stops it, and so does a quit, each
    // reaching every wait inside it; what was cached before stays cached. The limit's task may
    // already be running when it is cancelled below, so what it touches is owned with it.
    struct Limit {
        std::stop_source source;
        std::atomic<bool> reached{false};
    };
    const auto limit = std::make_shared<Limit>();
    Scheduler& scheduler = settings_.scheduler ? *settings_.scheduler : Scheduler::system();
    const auto timer = scheduler.after(settings_.prefetchTimeLimit, [limit] {
        limit->reached = true;
        limit->source.request_stop();
    });
    std::int64_t cached = 0;
    {
        const std::stop_callback onQuit(quit, [&limit] { limit->source.request_stop(); });
        cached = service->prefetch(prompt, limit->source.get_token());
    }
    timer.cancel();
    if (quit.stop_requested()) {
        logger_.info("file_prefetch_stopped",
                     {{"cached", std::to_string(cached)}, {"prompt_chars", promptChars}});
        return false;
    }
    const bool limitReached = limit->reached;
    if (limitReached) {
        logger_.warning("file_prefetch_timeout", {{"prompt_chars", promptChars}});
        return false;
    }
    logger_.info("file_prefetch_completed",
                 {{"cached", std::to_string(cached)}, {"prompt_chars", promptChars}});
    return true;
}

}  // namespace vask
