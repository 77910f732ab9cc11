#pragma once

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/in_memory_secret_backend.h"
#include "platform/iso8601.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "shell/app_dependencies.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask::test {

// An application root of a test's own: a private home and data folder, its own defaults, manual
// executors, a fake clock and in-memory secrets, so no root shares anything with another. The
// Messages database is looked for at `chatDB`, which exists only once a test writes it.
struct AppRootFixture {
    struct Options {
        std::string instance = "VaskTest";
        Environment extra = {};
        std::shared_ptr<SecretBackend> secrets = std::make_shared<InMemorySecretBackend>();
        // The keyring's coming and going, as the bus would tell it.
        std::function<Subscription(std::function<void(bool)>)> watchKeyring = nullptr;
        std::shared_ptr<SystemSettingsOpener> settingsOpener = nullptr;
        std::shared_ptr<UrlOpener> folderOpener = nullptr;
        std::shared_ptr<FileProblems> fileProblems = nullptr;
    };

    explicit AppRootFixture(Options options) {
        std::filesystem::create_directories(chatDB.parent_path());
        Environment env{{"HOME", (dir / "home").string()},
                        {"XDG_DATA_HOME", (dir / "data").string()},
                        {"VASK_SUPPORT_DIR", options.instance},
                        {"CHAT_DB_PATH", chatDB.string()}};
        for (auto& [name, value] : options.extra) {
            env[name] = value;
        }
        options.extra = std::move(env);
        options_ = std::move(options);
        root = makeRoot();
    }

    AppRootFixture() : AppRootFixture(Options{}) {}
    // Credential steps still queued on the worker hold their view model: they run before the
    // root goes, as the application's worker pool runs them.
    ~AppRootFixture() { drain(); }
    AppRootFixture(const AppRootFixture&) = delete;
    AppRootFixture& operator=(const AppRootFixture&) = delete;

    // A managed account with a customer token and a cloud session, noted as a sign-in notes it.
    void signIn() {
        saveAccount("user-1");
        root->signInRecord().noteSignedIn();
        root->resetAuthMode();
    }
    // The same account stored, for user `userID`, without emptying the cached mode: the root sees
    // it once its mode is reset.
    void saveAccount(const std::string& userID) {
        root->customerTokenStore().save("tok", "ada@example.com");
        root->cloudAuthStore().save(
            {"acc", "ref", *parseISO8601("2030-01-01T00:00:00Z"), userID, "ada@example.com"});
    }
    // A new root over the same folders, defaults and secret storage, as the next start of the
    // application: nothing the last one cached is known to it.
    void restart() {
        drain();
        root.reset();
        root = makeRoot();
    }
    // Runs both executors until neither has anything left (bounded).
    void drain() {
        for (int i = 0; i < 100 && (main.runUntilIdle() + worker.runUntilIdle()) > 0; ++i) {
        }
    }

    TempDir dir;
    std::filesystem::path chatDB = dir / "home" / "Library" / "Messages" / "chat.db";
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    FakeClock clock;
    std::unique_ptr<AppDependencies> root;

  private:
    std::unique_ptr<AppDependencies> makeRoot() {
        return std::make_unique<AppDependencies>(AppDependencies::Context{
            .environment = options_.extra,
            .bundleIdentifier = "ai.vask.tests",
            .defaults = defaults,
            .main = main,
            .worker = worker,
            .scheduler = clock,
            .secretBackend = options_.secrets,
            .watchKeyring = options_.watchKeyring,
            .settingsOpener = options_.settingsOpener,
            .folderOpener = options_.folderOpener,
            .fileProblems = options_.fileProblems,
        });
    }

    Options options_;
};

// How many questions went out signed in, by the chats' log.
inline long questionsSentSignedIn(const LogCapture& log) {
    const auto sent = log->events("chat_send_started");
    return std::count_if(sent.begin(), sent.end(), [](const LogRecord& record) {
        return record.metadata.at("has_credentials") == "true";
    });
}

}  // namespace vask::test
