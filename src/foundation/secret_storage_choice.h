#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/structured_logger.h"
#include "platform/clock.h"
#include "platform/file_problem.h"
#include "platform/journaled_keyring_backend.h"
#include "platform/libsecret_backend.h"
#include "platform/secret_backend.h"
#include "platform/user_defaults.h"

namespace vask {

// Where this run keeps credentials, chosen once on a worker, within the keyring's limit for one
// call. The Secret Service, whatever its state, with the support folder's record of what the
// user did (JournaledKeyringBackend: "credentials.json" and "credentials-removed.json"): when it
// does not answer in time, or the session bus has none, the record alone holds the run's
// changes, and every later use asks the service again, the run going on with it once it
// answers. Memory for this run where there is no support folder. The record is carried over into
// the keyring only when its default keyring exists and is unlocked, and without prompts, so no
// prompt opens that the user did not ask for. When it cannot be carried over, why is recorded in
// the defaults and the log says once, in words, where the credentials stay. Only a refusal is
// recorded as one: a keyring that refused the file's credentials is not asked again at start while
// the file is there, while one that did not answer (or a quit that cut the move short) is asked
// again at the next start.
struct SecretStorageChoice {
    // What the choice needs of the desktop's keyring.
    struct Keyring {
        // The Secret Service, or nothing with why: `cancelled` when it did not answer in time
        // (it may yet), another status when there is none.
        std::function<std::shared_ptr<SecretBackend>(SecretBackend::Outcome& whyNot)> connect;
        // The default keyring's state, asked without a prompt; nothing with the reason.
        std::function<std::optional<LibsecretBackend::DefaultKeyring>(std::string& whyNot)>
            defaultKeyring;

        // The session bus's Secret Service through libsecret.
        static Keyring secretService();
    };

    // The defaults' value (under keptKey) when the keyring refused the file's credentials.
    static constexpr std::string_view refusedByKeyring = "keyringRefused";

    Keyring keyring;
    // The support folder; throws when it cannot be had.
    std::function<std::filesystem::path()> supportDirectory;
    UserDefaults& defaults;
    // Where the reason the file stays is kept (instance-scoped).
    std::string keptKey;
    // Told when the credentials file is damaged.
    std::shared_ptr<FileProblems> problems = nullptr;
    StructuredLogger logger = StructuredLogger("keychain");
    // A keyring that did not answer is asked again only this long after its last try: the
    // steps of one sign-in or one question wait for it once, not once each.
    Clock::Duration askAgainAfter = std::chrono::seconds(2);
    const Clock& clock = Clock::system();
    // Why no keyring is asked at all (VASK_CREDENTIAL_STORE=file): the file alone is the
    // storage. Nothing: the keyring is asked.
    std::optional<std::string> fileOnly = std::nullopt;
    // Called after each write of the record beside the keyring, or of the keyring through it
    // (a test stops a launch there).
    JournaledKeyringBackend::AfterWrite afterWrite = nullptr;

    // Never throws; logs `secret_storage_selected`.
    std::shared_ptr<SecretBackend> choose() const;

  private:
    // The file "credentials.json" alone (memory without a support folder).
    std::shared_ptr<SecretBackend> chooseFile(const std::string& why) const;
    std::shared_ptr<SecretBackend> keepFile(std::shared_ptr<SecretBackend> file,
                                            const std::filesystem::path& path,
                                            const std::string& reason,
                                            const std::string& words) const;
};

}  // namespace vask
