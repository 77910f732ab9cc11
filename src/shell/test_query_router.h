#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chat/chat_view_model.h"
#include "foundation/auth_mode.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/executor.h"
#include "platform/scheduler.h"
#include "relay/route_credentials.h"
#include "store/awaiting_reply.h"

namespace vask {

class AppDependencies;

// Lets an outside test driver steer the running application through "vasktest:" URLs and
// observe the outcome in a log file. Acts only while VASK_TEST_HOOKS is exactly "1"; otherwise
// it ignores every URL and writes nothing. Main executor.
class TestQueryRouter {
  public:
    static constexpr std::string_view scheme = "vasktest";
    static constexpr std::string_view defaultLogPath = "/tmp/vask_testhook.log";
    // Parallel runs each name their own log.
    static constexpr std::string_view logPathVariable = "VASK_TESTHOOK_LOG";
    static constexpr auto queryDeadline = std::chrono::seconds(720);
    static constexpr auto queryPollInterval = std::chrono::milliseconds(100);

    using DraftDone = std::function<void(std::optional<std::string>)>;

    // What the commands act on. Every member may be empty: its command then does nothing more
    // than log.
    struct Services {
        std::function<void()> requestContactsAccessAndSync;
        std::function<void()> simulateSynced;
        // Signs the shared Google sign-in out and empties the cached authentication mode;
        // `done` runs on the main executor once the sign-out has finished.
        std::function<void(std::function<void()> done)> signOut;
        // The main window's chat (signout, outofcredit and recheck act on it).
        std::function<std::shared_ptr<ChatViewModel>()> mainChat;
        std::function<std::shared_ptr<ChatViewModel>()> popoverChat;
        std::function<std::vector<AwaitingReply>()> awaitingReplies;
        std::function<void(int count)> fireSampleNotification;
        std::function<AuthMode()> authMode;
        // Unlocks the keyring as Settings' Unlock does (no chat asked it); `done` gets the
        // failure's text, nothing once unlocked.
        std::function<void(std::function<void(std::optional<std::string>)> done)> unlockKeyring;
        // Writes a draft with the empty persona context off the main executor; `done` is called
        // on the main executor.
        std::function<void(std::string contactName, std::string lastMessage,
                           RouteCredentials credentials, DraftDone done)>
            generateDraft;
    };

    struct Dependencies {
        MainExecutor& main;
        Scheduler& scheduler;
        const Clock& clock;
        // Read anew on every use.
        std::function<Environment()> environment = processEnvironment;
        std::filesystem::path logPath{std::string(defaultLogPath)};
        Services services{};
    };

    static std::shared_ptr<TestQueryRouter> make(Dependencies dependencies);

    // The services of the application's root.
    static Services servicesOf(AppDependencies& root);
    // The log path the environment names, else the default.
    static std::filesystem::path logPathFrom(const Environment& environment);
    // Whether the environment turns the hooks on.
    static bool hooksEnabled(const Environment& environment);

    // Set by the application at start: the popover's chat and the window routes.
    std::weak_ptr<ChatViewModel> chatViewModel;
    std::function<void()> openMainWindow;
    std::function<void()> openOnboarding;
    std::function<void()> openSettings;

    // Runs one command; work that waits continues in tasks on the main executor.
    void handle(std::string_view url);

    // A URL split without changing the case of its scheme or host: commands are case-sensitive.
    struct SplitURL {
        std::string scheme;
        std::optional<std::string> host;
        std::vector<std::pair<std::string, std::optional<std::string>>> queryItems;
    };
    static std::optional<SplitURL> split(std::string_view url);
    // The "count" of "notify": a decimal 64-bit integer, else 1.
    static std::int64_t notifyCount(const std::optional<std::string>& value);

  private:
    explicit TestQueryRouter(Dependencies dependencies);

    bool isEnabled() const;
    void debugLog(std::string_view message) const;
    // On the registered chat, or with "chat=main" on the main window's (which saves its
    // sessions), so that a driver can check what a turn leaves in the sessions database.
    void runQuery(const std::optional<std::string>& text, bool onMainChat);
    void runDraft();
    void pollQuery(std::weak_ptr<ChatViewModel> model, std::string sessionID, ChatMessage question,
                   Clock::MonotonicTime deadline);

    Dependencies deps_;
    std::weak_ptr<TestQueryRouter> self_;
};

}  // namespace vask
