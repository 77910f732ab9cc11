#include "foundation/secret_storage_choice.h"

#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/journaled_keyring_backend.h"

namespace vask {

SecretStorageChoice::Keyring SecretStorageChoice::Keyring::secretService() {
    return {
        .connect = [](std::string& whyNot) -> std::shared_ptr<SecretBackend> {
            return LibsecretBackend::connect(whyNot);
        },
        .defaultKeyring =
            [](std::string& whyNot) { return LibsecretBackend::defaultKeyring(whyNot); },
    };
}

std::shared_ptr<SecretBackend> SecretStorageChoice::choose() const {
    std::string whyNot;
    auto secretService = keyring.connect(whyNot);
    std::filesystem::path folder;
    try {
        folder = supportDirectory();
    } catch (const std::exception& e) {
        if (secretService) {
            logger.info("secret_storage_selected", {{"backend", "secret_service"}});
            return secretService;
        }
        // Nowhere to keep credentials across launches: they last for this run only.
        logger.error("secret_storage_selected",
                     {{"backend", "memory"}, {"secret_service", whyNot}, {"error", e.what()}});
        return std::make_shared<InMemorySecretBackend>();
    }
    const auto path = folder / "credentials.json";
    auto file = std::make_shared<FileSecretBackend>(path, problems);
    if (!secretService) {
        logger.info("secret_storage_selected",
                    {{"backend", "file"}, {"path", path.string()}, {"secret_service", whyNot}});
        return file;
    }
    const auto recorded = defaults.stringValue(keptKey).optional();
    std::error_code error;
    if (recorded == refusedByKeyring && std::filesystem::exists(path, error)) {
        // Asked once already; the file, emptied by a sign-out too, stays the storage so that
        // nothing the keyring took before comes back.
        logger.info("secret_storage_selected",
                    {{"backend", "file"}, {"path", path.string()}, {"kept", *recorded}});
        return file;
    }
    auto removals = std::make_shared<FileSecretBackend>(folder / "credentials-removed.json", problems);
    const bool recordHoldsChanges = file->holdsItems() || removals->holdsItems();
    auto storage = std::make_shared<JournaledKeyringBackend>(secretService, file, removals);
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
        logger.info("secret_storage_selected",
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
        return keepFile(file, path, std::string(refusedByKeyring),
                        "the default keyring refused them (" + settled.refusal->reason +
                            "); Vask will not ask it again while that file is there");
    }
    if (settled.unfinished) {
        // It did not answer, or the application quits: nothing is recorded, and the next start
        // carries on from what was done.
        logger.info("secret_storage_selected", {{"backend", "secret_service"}, {"unsettled", "true"}});
        return storage;
    }
    if (recorded) {
        defaults.remove(keptKey);
    }
    logger.info("secret_storage_selected", {{"backend", "secret_service"}});
    return storage;
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
    logger.info("secret_storage_selected",
                {{"backend", std::string(file->kind())}, {"path", path.string()}, {"kept", reason}});
    return file;
}

}  // namespace vask
