#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/url_opener.h"
#include "proactive/draft_reply_generator.h"
#include "proactive/persona_context.h"
#include "store/awaiting_reply.h"

namespace vask {

// The one open reply draft of the awaiting-replies screen.
struct DraftState {
    std::string chatId;
    // What the user edits and sends: the cleaned draft, or what they typed. Never a failure text.
    std::string text;
    bool isLoading = false;
    // "persona", "global-only", "context-only" or "generic"; absent while loading and after a
    // failure.
    std::optional<std::string> personaTier;
    // Why no draft came, shown as a status line beside the (empty) editor.
    std::optional<std::string> failure;
    // Set once the draft was copied for sending; shown as the row's status line.
    std::optional<std::string> notice;

    bool operator==(const DraftState&) const = default;
};

// Drafts replies to awaiting conversations: gathers the persona context off the main executor,
// asks the model, cleans the answer and keeps at most one open draft. A result is applied only
// while the open draft is still for its conversation. Nothing is ever sent: the draft is copied
// ("Copy Reply"), and where a Messages application answers the conversation link it is opened
// there too ("Send in Messages"). Main executor only.
class ReplyDrafts {
  public:
    static constexpr std::string_view failureText =
        "Couldn't draft a reply just now \xE2\x80\x94 try Regenerate.";
    // Said once the draft is on the clipboard.
    static constexpr std::string_view copiedText = "Copied";
    // The draft's action without a Messages application, and with one.
    static constexpr std::string_view copyTitle = "Copy Reply";
    static constexpr std::string_view sendTitle = "Send in Messages";

    struct Seams {
        // Read on the main executor when a draft starts.
        std::function<RouteCredentials()> credentials;
        // Any thread: the persona-drafts setting, read before the reads, after them and just
        // before the request.
        std::function<bool()> personaDraftsEnabled;
        // The shadow database when it exists; nothing without a support directory or file.
        std::function<std::optional<std::filesystem::path>()> shadowDatabase;
        // Blocking, on the worker: the persona context; throws when a read fails.
        std::function<PersonaContext(const std::filesystem::path&, const AwaitingReply&)>
            readPersonaContext = &DraftReplyGenerator::readPersonaContext;
        // Blocking, on the worker: the relay client's call.
        DraftReplyGenerator::Complete complete;
        // Opens the conversation with a handle in Messages; empty where no Messages application
        // answers the link (the draft is then only copied).
        std::function<void(const std::string& handle)> openInMessages;
    };

    ReplyDrafts(Seams seams, Clipboard& clipboard, MainExecutor& main, Executor& worker);
    ~ReplyDrafts();
    ReplyDrafts(const ReplyDrafts&) = delete;
    ReplyDrafts& operator=(const ReplyDrafts&) = delete;

    Published<std::optional<DraftState>>& draft() { return draft_; }

    // Opens a loading draft for the reply (replacing any open draft) and starts a run. An
    // earlier run is not cancelled; its result is dropped unless it is for this conversation.
    void startDraft(const AwaitingReply& reply);
    void regenerate(const AwaitingReply& reply) { startDraft(reply); }

    // The editor's text: "" without an open draft; writing without one does nothing.
    std::string text() const;
    void setText(std::string text);
    void dismiss();

    // Whether there is a draft worth sending: not loading, not blank.
    static bool canSend(const std::optional<DraftState>& draft);
    // Copies the trimmed draft to the clipboard, opens the conversation where Messages can, and
    // says it was copied; the draft stays (to copy again) until dismissed or its conversation is
    // answered. Nothing when there is no draft worth sending.
    void send(const AwaitingReply& reply);
    // Whether send() opens Messages as well as copying.
    bool opensMessages() const { return static_cast<bool>(seams_.openInMessages); }
    // Closes a copied draft whose conversation is no longer awaiting (answered): `replies` is
    // the whole awaiting list.
    void closeIfAnswered(const std::vector<AwaitingReply>& replies);

    // The application's seams over the standard defaults, the support directory and the relay.
    static Seams standardSeams(std::function<RouteCredentials()> credentials,
                               const UserDefaults& defaults, const CorvaneResponses& responses);

  private:
    void run(const AwaitingReply& reply);
    void gatherContext(const AwaitingReply& reply, std::function<void(PersonaContext)> then);
    void apply(const std::string& chatId, const std::optional<std::string>& cleaned,
               const std::string& tier);

    Seams seams_;
    Clipboard& clipboard_;
    MainExecutor& main_;
    Executor& worker_;
    StructuredLogger logger_{"awaiting-reply"};
    Published<std::optional<DraftState>> draft_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vask
