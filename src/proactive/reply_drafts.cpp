#include "proactive/reply_drafts.h"

#include <algorithm>

#include "foundation/app_environment.h"
#include "platform/text.h"
#include "proactive/log_privacy.h"
#include "proactive/persona_drafts.h"

namespace vask {

ReplyDrafts::ReplyDrafts(Seams seams, Clipboard& clipboard, MainExecutor& main, Executor& worker)
    : seams_(std::move(seams)), clipboard_(clipboard), main_(main), worker_(worker) {}

ReplyDrafts::~ReplyDrafts() {
    *alive_ = false;
}

void ReplyDrafts::startDraft(const AwaitingReply& reply) {
    draft_.set(DraftState{reply.chatId, "", true, std::nullopt, std::nullopt, std::nullopt});
    run(reply);
}

void ReplyDrafts::run(const AwaitingReply& reply) {
    const RouteCredentials credentials =
        seams_.credentials ? seams_.credentials() : RouteCredentials{};
    gatherContext(reply, [this, reply, credentials](PersonaContext context) {
        const std::string tier = context.tier();
        // The worker touches only what outlives this object: the executor and copies.
        worker_.post([this, main = &main_, alive = alive_, reply, credentials,
                      context = std::move(context), tier, complete = seams_.complete,
                      enabled = seams_.personaDraftsEnabled] {
            const auto cleaned = DraftReplyGenerator::generate(
                reply.contactName, reply.lastMessageText, context, credentials, complete,
                [enabled] { return enabled && enabled(); });
            main->post([this, alive, chatId = reply.chatId, cleaned, tier] {
                if (*alive) {
                    apply(chatId, cleaned, tier);
                }
            });
        });
    });
}

void ReplyDrafts::gatherContext(const AwaitingReply& reply,
                                std::function<void(PersonaContext)> then) {
    const auto enabled = seams_.personaDraftsEnabled;
    if (!enabled || !enabled()) {
        then(PersonaContext::empty());
        return;
    }
    const auto path = seams_.shadowDatabase ? seams_.shadowDatabase() : std::nullopt;
    if (!path) {
        then(PersonaContext::empty());
        return;
    }
    worker_.post([this, main = &main_, alive = alive_, reply, path = *path,
                  read = seams_.readPersonaContext, enabled, then = std::move(then)] {
        std::optional<PersonaContext> context;
        std::string failure;
        try {
            context = read(path, reply);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        main->post([this, alive, reply, context = std::move(context), failure, enabled, then] {
            if (!*alive) {
                return;
            }
            const std::string chatId = loggableIdentifier(reply.chatId);
            if (!context) {
                logger_.error("persona_context_failed", {{"chat_id", chatId}, {"error", failure}});
                then(PersonaContext::empty());
                return;
            }
            // Switched off while reading: what was read stays here.
            if (!enabled()) {
                then(PersonaContext::empty());
                return;
            }
            logger_.info("persona_context_built",
                         {{"chat_id", chatId},
                          {"tier", context->tier()},
                          {"contact_exemplars", std::to_string(context->contactExemplars.size())},
                          {"global_exemplars", std::to_string(context->globalExemplars.size())},
                          {"thread_tail", std::to_string(context->threadTail.size())}});
            then(*context);
        });
    });
}

void ReplyDrafts::apply(const std::string& chatId, const std::optional<std::string>& cleaned,
                        const std::string& tier) {
    const auto& open = draft_.get();
    if (!open || open->chatId != chatId) {
        return;
    }
    if (!cleaned) {
        draft_.set(
            DraftState{chatId, "", false, std::nullopt, std::string(failureText), std::nullopt});
        logger_.error("draft_failed", {{"chat_id", loggableIdentifier(chatId)}});
        return;
    }
    draft_.set(DraftState{chatId, *cleaned, false, tier, std::nullopt, std::nullopt});
    logger_.info("draft_generated", {{"chat_id", loggableIdentifier(chatId)}, {"tier", tier}});
}

std::string ReplyDrafts::text() const {
    const auto& open = draft_.get();
    return open ? open->text : std::string();
}

void ReplyDrafts::setText(std::string text) {
    auto open = draft_.get();
    if (!open) {
        return;
    }
    open->text = std::move(text);
    draft_.set(std::move(open));
}

void ReplyDrafts::dismiss() {
    draft_.set(std::nullopt);
}

bool ReplyDrafts::canSend(const std::optional<DraftState>& draft) {
    return draft && !draft->isLoading && !text::trimmed(draft->text).empty();
}

void ReplyDrafts::send(const AwaitingReply& reply) {
    const auto& open = draft_.get();
    if (!canSend(open) || open->chatId != reply.chatId) {
        return;
    }
    clipboard_.setText(std::string(text::trimmed(open->text)));
    if (seams_.openInMessages) {
        seams_.openInMessages(reply.sender);
    }
    logger_.info(seams_.openInMessages ? "draft_send_in_messages" : "draft_copied",
                 {{"chat_id", loggableIdentifier(reply.chatId)}});
    draft_.update([](auto& draft) { draft->notice = std::string(copiedText); });
}

void ReplyDrafts::closeIfAnswered(const std::vector<AwaitingReply>& replies) {
    const auto& open = draft_.get();
    if (!open || !open->notice) {
        return;
    }
    const bool stillAwaiting =
        std::any_of(replies.begin(), replies.end(),
                    [&](const AwaitingReply& r) { return r.chatId == open->chatId; });
    if (!stillAwaiting) {
        draft_.set(std::nullopt);
    }
}

ReplyDrafts::Seams ReplyDrafts::standardSeams(std::function<RouteCredentials()> credentials,
                                              const UserDefaults& defaults,
                                              const CorvaneResponses& responses) {
    Seams seams;
    seams.credentials = std::move(credentials);
    seams.personaDraftsEnabled = [&defaults] { return PersonaDrafts::isEnabled(defaults); };
    seams.shadowDatabase = []() -> std::optional<std::filesystem::path> {
        try {
            auto path = AppEnvironment::supportDirectoryURL() / "shadow.db";
            std::error_code error;
            if (std::filesystem::exists(path, error)) {
                return path;
            }
        } catch (const std::exception& error) {
            // No support directory: the draft is made without the persona context.
            StructuredLogger("awaiting-reply")
                .warning("persona_shadow_unavailable", {{"error", error.what()}});
        }
        return std::nullopt;
    };
    seams.complete = [&responses](const CorvaneResponses::Request& request) {
        return responses.complete(request);
    };
    return seams;
}

}  // namespace vask
