#include "proactive/awaiting_reply_view_model.h"

#include <filesystem>
#include <utility>

#include "foundation/app_environment.h"
#include "platform/error.h"
#include "proactive/log_privacy.h"
#include "proactive/proactive_surfaces.h"
#include "sources/contacts_store.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace vask {

AwaitingReplyViewModel::AwaitingReplyViewModel(Seams seams, AwaitingReadStore readStore,
                                               MainExecutor& main, Executor& worker,
                                               Scheduler& scheduler)
    : seams_(std::move(seams)),
      readStore_(std::move(readStore)),
      main_(main),
      worker_(worker),
      scheduler_(scheduler),
      dismissedThrough_(readStore_.load()) {
    if (seams_.syncGenerations) {
        syncSubscription_ =
            seams_.syncGenerations([this, alive = std::weak_ptr<bool>(alive_)](std::int64_t) {
                main_.post([this, alive] {
                    if (!alive.expired()) {
                        refresh(true);
                    }
                });
            });
    }
    if (seams_.contactsSynchronised) {
        contactsSubscription_ =
            seams_.contactsSynchronised([this, alive = std::weak_ptr<bool>(alive_)] {
                main_.post([this, alive] {
                    if (!alive.expired()) {
                        refresh(true);
                    }
                });
            });
    }
}

AwaitingReplyViewModel::~AwaitingReplyViewModel() {
    *alive_ = false;
}

std::vector<AwaitingReply> AwaitingReplyViewModel::loadFromShadowDatabase(
    const std::string& shadow, const std::string& contacts, int days, int count) {
    return ShadowSync(std::nullopt, shadow).awaitingReplies(contacts, days, count);
}

bool AwaitingReplyViewModel::sourcesReadyOnDisk(const DatabasePaths& paths) {
    // The first synchronisation creates the message tables; a file without them is not yet
    // a database of messages, and no error.
    const auto shadow = SQLiteConnection::open(paths.shadow, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement messages(
        shadow.get(), "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'messages'");
    return messages.step() && ContactsStore::hasCompletedSync(paths.contacts);
}

AwaitingReplyViewModel::Seams AwaitingReplyViewModel::standardSeams(
    SyncGenerations syncGenerations, UserDefaults& defaults,
    std::function<void(const std::vector<AwaitingReply>&)> classify) {
    Seams seams;
    seams.syncGenerations = std::move(syncGenerations);
    seams.proactiveSurfacesEnabled = [&defaults] { return ProactiveSurfaces::isEnabled(defaults); };
    seams.databasePaths = []() -> std::optional<DatabasePaths> {
        try {
            const auto folder = AppEnvironment::supportDirectoryURL();
            return DatabasePaths{(folder / "shadow.db").string(),
                                 (folder / "contacts.db").string()};
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
    seams.fileExists = [](const std::string& path) {
        std::error_code error;
        return std::filesystem::exists(path, error);
    };
    seams.loadReplies = &AwaitingReplyViewModel::loadFromShadowDatabase;
    seams.sourcesReady = &AwaitingReplyViewModel::sourcesReadyOnDisk;
    seams.classifyReplies = std::move(classify);
    return seams;
}

NeedsReplyClassificationDebouncer& AwaitingReplyViewModel::classificationDebouncer() {
    if (!debouncer_) {
        debouncer_ = std::make_unique<NeedsReplyClassificationDebouncer>(
            seams_.classificationDelay, [this] { return replies_.get(); },
            [classify = seams_.classifyReplies](const std::vector<AwaitingReply>& replies) {
                if (classify) {
                    classify(replies);
                }
            },
            main_, scheduler_);
    }
    return *debouncer_;
}

void AwaitingReplyViewModel::publishEmpty() {
    classificationDebouncer().cancel();
    hasLoaded_ = false;
    replies_.set({});
}

void AwaitingReplyViewModel::refresh(bool debounceClassification, Completion completion) {
    const std::uint64_t generation = ++refreshGeneration_;
    if (completion) {
        waitingForLoad_.push_back(std::move(completion));
    }
    const auto paths = seams_.databasePaths ? seams_.databasePaths() : std::nullopt;
    if (!seams_.proactiveSurfacesEnabled() || !paths || paths->shadow.empty() ||
        paths->contacts.empty() || !seams_.fileExists(paths->shadow) ||
        !seams_.fileExists(paths->contacts)) {
        publishEmpty();
        return;
    }
    worker_.post([this, alive = std::weak_ptr<bool>(alive_), load = seams_.loadReplies,
                  ready = seams_.sourcesReady, paths = *paths, generation, debounceClassification,
                  &main = main_] {
        std::optional<std::vector<AwaitingReply>> loaded;
        bool notReady = false;
        std::string failure;
        try {
            notReady = ready && !ready(paths);
            if (!notReady) {
                loaded = load(paths.shadow, paths.contacts, withinDays, limit);
            }
        } catch (...) {
            failure = describeException(std::current_exception());
        }
        main.post([this, alive, generation, debounceClassification, loaded = std::move(loaded),
                   notReady, failure] {
            if (alive.expired()) {
                return;
            }
            if (notReady) {
                // Like missing files: the stand-in, and the completions wait for the
                // first list that is really there.
                if (generation == refreshGeneration_) {
                    publishEmpty();
                }
                return;
            }
            if (!loaded) {
                // An empty list here would tell the notifier that every conversation left,
                // and it would announce them all again after the next good load: keep the
                // last good list, and the completions wait for the next good load.
                logger_.error("awaiting_reply_load_failed", {{"error", failure}});
                return;
            }
            applyLoaded(generation, *loaded, debounceClassification);
        });
    });
}

void AwaitingReplyViewModel::applyLoaded(std::uint64_t generation,
                                         const std::vector<AwaitingReply>& loaded,
                                         bool debounceClassification) {
    if (generation != refreshGeneration_) {
        return;  // the refresh that overtook this one completes its waiters
    }
    if (!seams_.proactiveSurfacesEnabled()) {
        publishEmpty();
        return;
    }
    auto kept = AwaitingReplyReadPolicy::unread(loaded, dismissedThrough_);
    hasLoaded_ = true;
    replies_.set(kept);
    logger_.info("awaiting_reply_loaded", {{"count", std::to_string(kept.size())}});
    if (debounceClassification) {
        classificationDebouncer().schedule();
    } else {
        classificationDebouncer().cancel();
        main_.post([classify = seams_.classifyReplies, kept] {
            if (classify) {
                classify(kept);
            }
        });
    }
    for (const auto& completion : std::exchange(waitingForLoad_, {})) {
        completion(kept);
    }
}

void AwaitingReplyViewModel::markAsRead(const AwaitingReply& reply) {
    // `reply` may be an element of the list replaced below.
    const std::string chatId = loggableIdentifier(reply.chatId);
    AwaitingReplyReadPolicy::markAsRead({reply}, dismissedThrough_);
    readStore_.save(dismissedThrough_);
    replies_.set(AwaitingReplyReadPolicy::unread(replies_.get(), dismissedThrough_));
    logger_.info("awaiting_reply_marked_read", {{"chat_id", chatId}});
}

void AwaitingReplyViewModel::markAllAsRead(const std::vector<AwaitingReply>& replies) {
    // `replies` may be the list replaced below.
    const std::string count = std::to_string(replies.size());
    AwaitingReplyReadPolicy::markAsRead(replies, dismissedThrough_);
    readStore_.save(dismissedThrough_);
    replies_.set(AwaitingReplyReadPolicy::unread(replies_.get(), dismissedThrough_));
    logger_.info("awaiting_reply_marked_all_read", {{"count", count}});
}

}  // namespace vask
