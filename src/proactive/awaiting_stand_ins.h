#pragma once

#include <memory>
#include <vector>

#include "proactive/awaiting_reply_view_model.h"
#include "proactive/needs_reply_service.h"

namespace vask::stand_in {

// An awaiting-reply view model over a fixed list, with nothing read from disk and nothing
// classified: for previews and tests. The list is published once `main` and `worker` run.
inline std::shared_ptr<AwaitingReplyViewModel> awaitingViewModel(std::vector<AwaitingReply> replies,
                                                                 UserDefaults& defaults,
                                                                 MainExecutor& main,
                                                                 Executor& worker,
                                                                 Scheduler& scheduler) {
    AwaitingReplyViewModel::Seams seams;
    seams.syncGenerations = [](std::function<void(std::int64_t)> deliver) {
        deliver(0);
        return Subscription([] {});
    };
    seams.proactiveSurfacesEnabled = [] { return true; };
    seams.databasePaths = [] {
        return std::optional<AwaitingReplyViewModel::DatabasePaths>({"shadow.db", "contacts.db"});
    };
    seams.fileExists = [](const std::string&) { return true; };
    seams.loadReplies = [replies = std::move(replies)](const std::string&, const std::string&, int,
                                                       int) { return replies; };
    seams.classifyReplies = [](const std::vector<AwaitingReply>&) {};
    return std::make_shared<AwaitingReplyViewModel>(
        std::move(seams), AwaitingReadStore(defaults, "standIn.awaitingReply.dismissedThrough"),
        main, worker, scheduler);
}

// A needs-reply service whose model never answers; set its verdicts directly.
inline std::shared_ptr<NeedsReplyService> needsReplyService(UserDefaults& defaults,
                                                            MainExecutor& main, Executor& worker) {
    return std::make_shared<NeedsReplyService>(
        defaults, "standIn.needsReply.cache", main, worker, [] { return RLMCredentials{}; },
        [](const std::vector<NeedsReplyClassifier::Item>&, const RLMCredentials&) {
            return NeedsReplyService::Verdicts{};
        });
}

}  // namespace vask::stand_in
