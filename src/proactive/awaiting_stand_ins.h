#pragma once

#include <memory>
#include <vector>

#include "proactive/awaiting_reply_view_model.h"
#include "proactive/awaiting_screen_presenter.h"
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

// The awaiting screen's world over the two stand-ins: the day window lives in `days`, catch-ups
// are recorded, the clock stands at `now`. Must outlive the dependencies it hands out.
struct AwaitingStage {
    AwaitingStage(std::vector<AwaitingReply> replies, UserDefaults& defaults,
                  MainExecutor& mainExecutor, Executor& workerExecutor, Scheduler& scheduler)
        : settings(defaults),
          main(mainExecutor),
          worker(workerExecutor),
          viewModel(awaitingViewModel(std::move(replies), defaults, main, worker, scheduler)),
          needsReply(needsReplyService(defaults, main, worker)) {}

    AwaitingScreenPresenter::Dependencies dependencies(UrlOpener& opener, Clipboard& clipboard,
                                                       ReplyDrafts::Seams draftSeams) {
        return {
            .viewModel = viewModel,
            .needsReply = needsReply,
            .settings = settings,
            .displayDays = [this] { return days; },
            .setDisplayDays = [this](int chosen) { days = chosen; },
            .onCatchUp = [this](const AwaitingReply& reply) { caughtUp.push_back(reply.chatId); },
            .urlOpener = opener,
            .clipboard = clipboard,
            .draftSeams = std::move(draftSeams),
            .main = main,
            .worker = worker,
            .now = [this] { return now; },
            .messagesAppPresent = messagesAppPresent,
        };
    }

    UserDefaults& settings;
    MainExecutor& main;
    Executor& worker;
    std::shared_ptr<AwaitingReplyViewModel> viewModel;
    std::shared_ptr<NeedsReplyService> needsReply;
    int days = 7;
    std::int64_t now = 0;
    bool messagesAppPresent = false;
    std::vector<std::string> caughtUp;
};

}  // namespace vask::stand_in
