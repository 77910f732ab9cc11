#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "engine/file_prefetch_service.h"
#include "engine/rlm_credentials.h"
#include "foundation/file_access_config.h"
#include "foundation/structured_logger.h"
#include "platform/scheduler.h"
#include "relay/model_routing_policy.h"

namespace vask {

// Caches the user's files for a question in the shadow database before staging, so the helper
// reads them with the rest of the staged data. Its time limit stops it, and a quit does; the turn
// itself does not.
class RLMFilePrefetch {
  public:
    struct Settings {
        // The file-access settings for a vision model (the configuration manager's).
        std::function<FileAccessConfig(std::optional<std::string>)> fileAccessConfig;
        FilePrefetchServiceFactory filePrefetchServiceFactory;
        std::chrono::milliseconds prefetchTimeLimit{10000};
        // The time limit's timer; the system scheduler when null.
        Scheduler* scheduler = nullptr;
    };

    explicit RLMFilePrefetch(Settings settings) : settings_(std::move(settings)) {}

    // True when a prefetch ran to its end in time; false without a vision route. Never fails.
    // `quit` ends the prefetch at once, wherever it waits (the search, a file's read, a page's
    // drawing, a vision request); what was cached before stays cached.
    bool prefetchFilesIfNeeded(const std::string& prompt, const std::string& dbPath,
                               const RLMCredentials& credentials,
                               const std::optional<ModelRoute>& visionRoute,
                               std::stop_token quit = {}) const;

  private:
    Settings settings_;
    StructuredLogger logger_{"rlm-helper"};
};

}  // namespace vask
