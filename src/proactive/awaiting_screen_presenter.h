#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/published.h"
#include "platform/subscription.h"
#include "platform/url_opener.h"
#include "platform/user_defaults.h"
#include "proactive/awaiting_reply_view_model.h"
#include "proactive/needs_reply_service.h"
#include "proactive/reply_drafts.h"
#include "records/conversation_source.h"

namespace vask {

// The draft editor under a row, as it is to be shown.
struct DraftEditorContent {
    bool isLoading = false;
    std::string loadingCaption;
    std::string text;
    // The persona footnote, "" when there is none.
    std::string tooltip;
    // Why no draft came; shown as a status line, never as the editor's text.
    std::optional<std::string> status;
    // What became of the draft ("Copied — …"); a status line of good news.
    std::optional<std::string> notice;
    bool sendEnabled = false;

    bool operator==(const DraftEditorContent&) const = default;
};

struct AwaitingRowContent {
    AwaitingReply reply;
    std::string initials;
    std::string age;
    bool needsReply = false;
    std::optional<DraftEditorContent> editor;

    bool operator==(const AwaitingRowContent&) const = default;
};

struct DayWindowChoice {
    int days = 0;
    std::string title;
    bool checked = false;

    bool operator==(const DayWindowChoice&) const = default;
};

// Everything the awaiting-replies screen shows at one moment.
struct AwaitingScreenContent {
    int dayWindow = 7;
    // No rows: the placeholder with this description.
    std::string placeholderDescription;
    bool showsDayMenu = false;
    std::string dayMenuLabel;
    std::string dayMenuHelp;
    std::vector<DayWindowChoice> dayChoices;
    bool showsMarkAllAsRead = false;
    // The draft button, the same on every row.
    std::string draftLabel;
    std::string draftSymbol;
    std::string draftHelp;
    // The open draft's action: "Copy Reply", or "Send in Messages" where Messages answers.
    std::string sendLabel;
    std::string sendSymbol;
    std::string sendHelp;
    // Why the conversation last asked for did not open in Messages; cleared by the next try.
    std::optional<std::string> openFailure;
    std::vector<AwaitingRowContent> rows;

    bool operator==(const AwaitingScreenContent&) const = default;
};

// What the awaiting-replies screen shows and does: the conversations inside the day window,
// those that need a reply first, the toolbar, the row actions and the one open draft. Main
// executor only.
class AwaitingScreenPresenter {
  public:
    static constexpr const char* title = "Awaiting your reply";
    static constexpr const char* placeholderTitle = "You're all caught up";
    static constexpr const char* nothingWaitingText =
        "No one's waiting on a reply from you right now.";
    static constexpr const char* markAllHelp =
        "Mark every displayed conversation as read \xE2\x80\x94 each re-surfaces if they message "
        "you again";

    struct Dependencies {
        std::shared_ptr<AwaitingReplyViewModel> viewModel;
        std::shared_ptr<NeedsReplyService> needsReply;
        // Holds the proactive switch and the persona-drafts setting.
        const UserDefaults& settings;
        // The day-window setting.
        std::function<int()> displayDays;
        std::function<void(int)> setDisplayDays;
        std::function<void(const AwaitingReply&)> onCatchUp;
        UrlOpener& urlOpener;
        Clipboard& clipboard;
        // The drafts' seams; the presenter fills in how a conversation is opened.
        ReplyDrafts::Seams draftSeams;
        MainExecutor& main;
        Executor& worker;
        // Whole Unix seconds.
        std::function<std::int64_t()> now;
        // Whether a Messages application answers the conversation link. None does on Linux:
        // the draft's action is then "Copy Reply", which opens nothing, and a "Reveal in
        // Messages" that could only do nothing is not offered.
        bool messagesAppPresent = messagesApplicationPresent;
    };

    explicit AwaitingScreenPresenter(Dependencies dependencies);
    ~AwaitingScreenPresenter();
    AwaitingScreenPresenter(const AwaitingScreenPresenter&) = delete;
    AwaitingScreenPresenter& operator=(const AwaitingScreenPresenter&) = delete;

    // Calls `changed` whenever the list, the verdicts, the draft, the focus request or the
    // opener's verdict change.
    [[nodiscard]] Subscription observe(std::function<void()> changed);
    AwaitingScreenContent content() const;

    // Conversations inside the day window, in the view model's order.
    std::vector<AwaitingReply> displayedReplies() const;

    // While the user points at the list or a row has the keyboard focus, the rows stay where
    // they are: a verdict or a reload then changes what the rows show and drops those that
    // left, but moves none, and newcomers go below them. Released, the list takes its order
    // again (observers are told). The view reports the pointer and the focus; hiding it
    // releases.
    void holdOrder(bool held);
    bool holdsOrder() const { return heldOrder_.has_value(); }

    void chooseDayWindow(int days);
    void markAllAsRead();
    void markAsRead(const AwaitingReply& reply);
    void catchUp(const AwaitingReply& reply);
    // Whether the row's menu offers "Reveal in Messages".
    bool offersReveal() const { return deps_.messagesAppPresent; }
    void reveal(const AwaitingReply& reply);
    // Opens the conversation in Messages; a failure reaches content().openFailure.
    void openInMessages(const std::string& handle);
    ReplyDrafts& drafts() { return *drafts_; }

    // Those judged to need a reply first, then newest first; ties keep their order. A missing
    // verdict counts as no.
    static std::vector<AwaitingReply> sorted(std::vector<AwaitingReply> replies,
                                             const NeedsReplyService::Verdicts& verdicts);
    // `replies` with those named in `shown` first, in that order, then the others in theirs.
    static std::vector<AwaitingReply> inShownOrder(std::vector<AwaitingReply> replies,
                                                   const std::vector<std::string>& shown);
    // Up to two words (split at single spaces), the first character of each, upper-cased.
    static std::string initials(std::string_view name);
    // "5m ago", "3h ago", "2d ago"; never below one minute.
    static std::string relativeAge(std::int64_t timestamp, std::int64_t now);
    static std::optional<std::string> personaFootnote(const std::optional<std::string>& tier,
                                                      std::string_view contactName);
    // The address that opens the conversation with `handle`; nothing for an empty handle.
    static std::optional<std::string> messagesURL(std::string_view handle);

    // The day window in the instance-scoped setting, 7 when absent.
    static std::function<int()> storedDisplayDays(const UserDefaults& defaults);
    static std::function<void(int)> storeDisplayDays(UserDefaults& defaults);

  private:
    bool personaDraftsOn() const;
    // The displayed conversations in the order shown now.
    std::vector<AwaitingReply> orderedReplies(std::int64_t now, int window) const;

    Dependencies deps_;
    std::shared_ptr<ReplyDrafts> drafts_;
    Subscription answered_;
    // The chat ids in the order shown when the hold began.
    std::optional<std::vector<std::string>> heldOrder_;
    // Raised when a hold ends, so observers show the order it kept back.
    Published<int> releases_{0};
    Published<std::optional<std::string>> openFailure_;
    // Cleared when the presenter goes: an opener's late verdict then changes nothing.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    StructuredLogger logger_{"awaiting-reply"};
};

}  // namespace vask
