// One launch of Vask's credential stack over a data folder and the session bus's Secret Service,
// as the application chooses and uses it, for the credential model over the bus: each step of a
// generated sequence is a launch, which may die right after any of its writes.
//
//   credential-launch FOLDER sign-in TOKEN | sign-out | unlock | start
//
// VASK_KILL_AT=N ends the launch right after its Nth write (settings or credentials), exit 3.
// "start" prints what the start shows (mode, token, Settings' words, the chats' words, whether
// Try Again is offered), a line each. "unlock" waits for the keyring's prompt; SIGTERM quits as
// the application does (every call to the keyring given up, its prompt dismissed). It prints
// "unlock=" and the outcome: success, cancelled (not answered, or the quit) or another status.
// Exit 0 when done, 2 when the step threw.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "credential_model.h"
#include "foundation/account_storage.h"
#include "foundation/auth_mode_resolver.h"
#include "foundation/secret_storage_choice.h"
#include "support/watched_defaults.h"

namespace vask {
namespace {

constexpr const char* service = "svc";
constexpr int killedExit = 3;

const char* modeName(test::StartShown::Mode mode) {
    using Mode = test::StartShown::Mode;
    switch (mode) {
        case Mode::managed:
            return "managed";
        case Mode::none:
            return "none";
        case Mode::locked:
            return "locked";
        case Mode::notAvailable:
            return "notAvailable";
        case Mode::notAnswering:
            return "notAnswering";
    }
    return "?";
}

// SIGTERM, the quit, or the unlock's end (SIGUSR2, sent by the unlock's thread).
SecretBackend::Outcome unlockUntilQuit(SecretBackend& storage) {
    sigset_t awaited;
    sigemptyset(&awaited);
    sigaddset(&awaited, SIGTERM);
    sigaddset(&awaited, SIGUSR2);
    SecretBackend::Outcome outcome;
    std::thread unlocking([&] {
        outcome = storage.unlock(service);
        ::kill(::getpid(), SIGUSR2);
    });
    int received = 0;
    while (sigwait(&awaited, &received) == 0 && received == SIGTERM) {
        LibsecretBackend::abandonCalls();
    }
    unlocking.join();
    return outcome;
}

int run(const std::filesystem::path& folder, const std::string& action, const std::string& token) {
    int writes = 0;
    const char* killAtText = std::getenv("VASK_KILL_AT");
    const int killAt = killAtText != nullptr ? std::atoi(killAtText) : 0;
    const auto afterWrite = [&] {
        if (++writes == killAt) {
            std::fflush(stdout);
            ::_exit(killedExit);
        }
    };
    test::WatchedDefaults defaults(folder / "settings.json", afterWrite);
    const auto storage =
        SecretStorageChoice{.keyring = SecretStorageChoice::Keyring::secretService(),
                            .supportDirectory = [&] { return folder; },
                            .defaults = defaults,
                            .keptKey = "kept",
                            .afterWrite = afterWrite}
            .choose();
    KeychainStore keychain{service, storage};
    CloudAuthStore cloud{keychain};
    CustomerTokenStore tokens{keychain};
    APIKeyStore keys{keychain};
    SignInRecord record{defaults, "account.signedIn"};
    AccountStorage account{tokens, cloud, keys, &keychain, &record};

    if (action == "sign-in") {
        account.store(test::StartShown::accountOf(token));
    } else if (action == "sign-out") {
        account.remove();
    } else if (action == "unlock") {
        const auto outcome = unlockUntilQuit(*storage);
        std::cout << "unlock="
                  << (outcome.status == SecretBackend::success     ? "success"
                      : outcome.status == SecretBackend::cancelled ? "cancelled"
                                                                   : "failed")
                  << std::endl;
    } else if (action == "start") {
        const auto shown = test::StartShown::of(
            AuthModeResolver{tokens, cloud, keys, {}, false, StructuredLogger("auth-mode"), &record}
                .resolve());
        std::cout << modeName(shown.mode) << '\n'
                  << shown.token << '\n'
                  << shown.settings << '\n'
                  << shown.chat << '\n'
                  << (shown.tryAgain ? "tryAgain" : "-") << std::endl;
    } else {
        std::cerr << "credential-launch: unknown step " << action << '\n';
        return 64;
    }
    return 0;
}

}  // namespace
}  // namespace vask

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: credential-launch FOLDER sign-in TOKEN | sign-out | unlock | start\n";
        return 64;
    }
    // The quit and the unlock's end are waited for by sigwait alone.
    sigset_t awaited;
    sigemptyset(&awaited);
    sigaddset(&awaited, SIGTERM);
    sigaddset(&awaited, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &awaited, nullptr);
    try {
        return vask::run(argv[1], argv[2], argc > 3 ? argv[3] : "");
    } catch (const std::exception& e) {
        std::cerr << "credential-launch: " << e.what() << '\n';
        return 2;
    }
}
