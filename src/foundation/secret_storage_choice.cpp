#include "foundation/secret_storage_choice.h"

#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/journaled_keyring_backend.h"

#include <cstdint>
#include <mutex>

namespace vask {
namespace {

// The Secret Service when it did not answer at start, or was not on the bus: a use asks it again,
// within the connection's own limit, unless it was last tried moments ago, and once it answers
// the run goes on with it. Until then each operation answers why it is not there (`cancelled`
// while it does not answer, `notAvailable` while there is none).
class LateKeyring final : public SecretBackend {
  public:
    LateKeyring(const SecretStorageChoice& choice, SecretBackend::Outcome whyNot)
        : keyring_(choice.keyring),
          logger_(choice.logger),
          clock_(choice.clock),
          askAgainAfter_(choice.askAgainAfter),
          whyNot_(std::move(whyNot)),
          lastTried_(choice.clock.monotonicNow()) {}

    ReadResult copyMatching(std::string_view service, std::string_view account) override {
        Outcome whyNot;
        const auto answering = connected(whyNot);
        return answering ? answering->copyMatching(service, account)
                         : ReadResult{whyNot.status, std::nullopt, whyNot.reason};
    }
    Outcome update(std::string_view service, std::string_view account,
                   std::string_view data) override {
        Outcome whyNot;
        const auto answering = connected(whyNot);
        return answering ? answering->update(service, account, data) : whyNot;
    }
    Outcome add(std::string_view service, std::string_view account,
                std::string_view data) override {
        Outcome whyNot;
        const auto answering = connected(whyNot);
        return answering ? answering->add(service, account, data) : whyNot;
    }
    Outcome remove(std::string_view service, std::string_view account) override {
        return removeAll(service, {std::string(account)});
    }
    Outcome removeAll(std::string_view service, const std::vector<std::string>& accounts) override {
        // A sign-out is noted in the record before it gets here: it answers the user at once
        // rather than wait out a connection, and the keyring's items go once it answers.
        Outcome whyNot;
        const auto answering = connected(whyNot, false);
        return answering ? answering->removeAll(service, accounts) : whyNot;
    }
    Outcome removeService(std::string_view service) override {
        Outcome whyNot;
        const auto answering = connected(whyNot, false);
        return answering ? answering->removeService(service) : whyNot;
    }
    Outcome unlock(std::string_view service) override {
        Outcome whyNot;
        const auto answering = connected(whyNot);
        return answering ? answering->unlock(service) : whyNot;
    }
    std::string_view kind() const override {
        std::lock_guard lock(mutex_);
        return connected_ ? connected_->kind() : std::string_view("secret_service");
    }
    bool mayBlock() const override { return true; }
    // Asked by the user (Try Again, Unlock) or by a use once a held-back mode is due: the
    // keyring is connected to now, however recently it was last tried. A connection that ends
    // while this one waits for it answers for both.
    void askAgain() override {
        std::uint64_t before = 0;
        {
            std::lock_guard lock(mutex_);
            if (connected_) {
                return;
            }
            before = tries_;
        }
        std::lock_guard connecting(connecting_);
        {
            std::lock_guard lock(mutex_);
            if (connected_ || tries_ != before) {
                return;
            }
        }
        connect();
    }

  private:
    // The keyring once it answers; asked again (when `asking`) unless it was last tried
    // moments ago.
    std::shared_ptr<SecretBackend> connected(Outcome& whyNot, bool asking = true) {
        const auto known = [&] {
            if (connected_) {
                return true;
            }
            whyNot = whyNot_;
            return !asking || clock_.monotonicNow() - lastTried_ < askAgainAfter_;
        };
        {
            std::lock_guard lock(mutex_);
            if (known()) {
                return connected_;
            }
        }
        // One connection at a time, the only writer of what it finds; what does not ask never
        // waits for it.
        std::lock_guard connecting(connecting_);
        {
            std::lock_guard lock(mutex_);
            if (known()) {
                return connected_;
            }
        }
        connect();
        std::lock_guard lock(mutex_);
        whyNot = whyNot_;
        return connected_;
    }

    // One try; `connecting_` held.
    void connect() {
        Outcome failure;
        auto answering = keyring_.connect(failure);
        std::lock_guard lock(mutex_);
        connected_ = std::move(answering);
        whyNot_ = std::move(failure);
        lastTried_ = clock_.monotonicNow();
        ++tries_;
        if (connected_) {
            logger_.info("secret_service_answered");
        }
    }

    SecretStorageChoice::Keyring keyring_;
    StructuredLogger logger_;
    const Clock& clock_;
    Clock::Duration askAgainAfter_;
    // Held across a connection.
    std::mutex connecting_;
    // Held only to read or change the members below.
    mutable std::mutex mutex_;
    std::shared_ptr<SecretBackend> connected_;
    // Why the last try found none, when it ended, and how many there were.
    Outcome whyNot_;
    Clock::MonotonicTime lastTried_;
    std::uint64_t tries_ = 0;
};

}  // namespace

SecretStorageChoice::Keyring SecretStorageChoice::Keyring::secretService() {
    return {
        .connect = [](SecretBackend::Outcome& whyNot) -> std::shared_ptr<SecretBackend> {
            return LibsecretBackend::connect(whyNot);
        },
        .defaultKeyring =
            [](std::string& whyNot) { return LibsecretBackend::defaultKeyring(whyNot); },
    };
}

std::shared_ptr<SecretBackend> SecretStorageChoice::choose() const {
    if (fileOnly) {
        return chooseFile(*fileOnly);
    }
    SecretBackend::Outcome whyNot;
    std::shared_ptr<SecretBackend> secretService = keyring.connect(whyNot);
    // A service that did not answer in time may yet, and one the bus does not have may start
    // later (or be installed): either is asked again at each use, and at once when its name
    // appears on the bus. Until then the record beside it holds the run's changes.
    const bool late = !secretService;
    if (late) {
        secretService = std::make_shared<LateKeyring>(*this, whyNot);
    }
    std::filesystem::path folder;
    try {
        folder = supportDirectory();
    } catch (const std::exception& e) {
        if (secretService) {
            logger.info("secret_storage_selected", {{"backend", "secret_service"}});
            return secretService;
        }
        // Nowhere to keep credentials across launches: they last for this run only.
        logger.error(
            "secret_storage_selected",
            {{"backend", "memory"}, {"secret_service", whyNot.reason}, {"error", e.what()}});
        return std::make_shared<InMemorySecretBackend>();
    }
    const auto path = folder / "credentials.json";
    auto file = std::make_shared<FileSecretBackend>(path, problems);
    auto removals =
        std::make_shared<FileSecretBackend>(folder / "credentials-removed.json", problems);
    auto storage =
        std::make_shared<JournaledKeyringBackend>(secretService, file, removals, afterWrite);
    if (late) {
        // What this run does is kept in the record, and the next start whose keyring answers
        // finishes it.
        logger.warning(
            "secret_storage_selected",
            {{"backend", "secret_service"},
             {"path", path.string()},
             {whyNot.status == SecretBackend::cancelled ? "answering" : "available", "false"},
             {"secret_service", whyNot.reason}});
        return storage;
    }
    const auto recorded = defaults.stringValue(keptKey).optional();
    std::error_code error;
    if (recorded == refusedByKeyring && std::filesystem::exists(path, error)) {
        // Asked once already: not again at start while the file is there. The record still
        // comes first, so nothing the keyring took before a sign-out comes back.
        logger.info("secret_storage_selected",
                    {{"backend", "secret_service"}, {"path", path.string()}, {"kept", *recorded}});
        return storage;
    }
    const bool recordHoldsChanges = file->holdsItems() || removals->holdsItems();
    if (!recordHoldsChanges) {
        if (recorded) {
            defaults.remove(keptKey);
        }
        logger.info("secret_storage_selected", {{"backend", "secret_service"}});
        return storage;
    }
    std::string unknown;
    const auto state = keyring.defaultKeyring(unknown);
    if (!state) {
        // Nothing recorded: the next start asks again.
        logger.info(
            "secret_storage_selected",
            {{"backend", "secret_service"}, {"path", path.string()}, {"unsettled", unknown}});
        return storage;
    }
    switch (*state) {
        case LibsecretBackend::DefaultKeyring::missing:
            return keepFile(storage, path, "noDefaultKeyring",
                            "the desktop has no default keyring");
        case LibsecretBackend::DefaultKeyring::locked:
            return keepFile(storage, path, "keyringLocked", "the default keyring is locked");
        case LibsecretBackend::DefaultKeyring::unlocked:
            break;
    }
    const auto settled = storage->settle();
    if (settled.refusal) {
        // The record stays beside the keyring: what the keyring took before the refusal is
        // read from it, and what it did not from the file.
        return keepFile(storage, path, std::string(refusedByKeyring),
                        "the default keyring refused them (" + settled.refusal->reason +
                            "); Vask will not ask it again while that file is there");
    }
    if (settled.unfinished) {
        // It did not answer, or the application quits: nothing is recorded, and the next start
        // carries on from what was done.
        logger.info("secret_storage_selected",
                    {{"backend", "secret_service"}, {"unsettled", "true"}});
        return storage;
    }
    if (recorded) {
        defaults.remove(keptKey);
    }
    logger.info("secret_storage_selected", {{"backend", "secret_service"}});
    return storage;
}

std::shared_ptr<SecretBackend> SecretStorageChoice::chooseFile(const std::string& why) const {
    std::filesystem::path folder;
    try {
        folder = supportDirectory();
    } catch (const std::exception& e) {
        logger.error("secret_storage_selected",
                     {{"backend", "memory"}, {"secret_service", why}, {"error", e.what()}});
        return std::make_shared<InMemorySecretBackend>();
    }
    const auto path = folder / "credentials.json";
    logger.info("secret_storage_selected",
                {{"backend", "file"}, {"path", path.string()}, {"secret_service", why}});
    return std::make_shared<FileSecretBackend>(path, problems);
}

std::shared_ptr<SecretBackend> SecretStorageChoice::keepFile(std::shared_ptr<SecretBackend> file,
                                                             const std::filesystem::path& path,
                                                             const std::string& reason,
                                                             const std::string& words) const {
    if (defaults.stringValue(keptKey).optional() != reason) {
        defaults.set(keptKey, reason);
        logger.warning("secret_file_kept",
                       {{"path", path.string()},
                        {"reason", reason},
                        {"message", "Vask keeps its credentials in " + path.string() +
                                        " (readable by this user only): " + words + "."}});
    }
    logger.info(
        "secret_storage_selected",
        {{"backend", std::string(file->kind())}, {"path", path.string()}, {"kept", reason}});
    return file;
}

}  // namespace vask
