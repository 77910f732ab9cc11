#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_lock.h"

#include "platform/file_problem.h"
#include "platform/secret_backend.h"

namespace vask {

// Items in one JSON file for machines without a Secret Service: {service: {account: base64}},
// mode 0600, replaced atomically on every change. Changes take an exclusive lock on
// "<file>.lock" and re-read the file first, so two instances sharing it never drop each other's
// items. A file that does not parse fails every read (decodeFailed) and is moved aside to
// "<file>.corrupt-<seconds>" by the next change rather than overwritten, logged, and reported to
// `problems` for the user. A change that leaves the file empty removes it and its lock file.
// Beside a keyring, the file holds what the keyring did not take.
class FileSecretBackend final : public SecretBackend {
  public:
    explicit FileSecretBackend(std::filesystem::path file,
                               std::shared_ptr<FileProblems> problems = nullptr);

    ReadResult copyMatching(std::string_view service, std::string_view account) override;
    Outcome update(std::string_view service, std::string_view account,
                   std::string_view data) override;
    Outcome add(std::string_view service, std::string_view account, std::string_view data) override;
    Outcome remove(std::string_view service, std::string_view account) override;
    // In one write: itemNotFound when none of them was there.
    Outcome removeAll(std::string_view service, const std::vector<std::string>& accounts) override;
    Outcome removeService(std::string_view service) override;
    // Moves the file aside, whatever it is (a damaged record, a link, a FIFO, a folder), to
    // "<file>.corrupt-<seconds>"; success when there was none.
    Outcome setAside();
    // Adds or replaces every item (account, value) in one write.
    Outcome putAll(std::string_view service,
                   const std::vector<std::pair<std::string, std::string>>& items);
    std::string_view kind() const override { return "file"; }

    const std::filesystem::path& file() const { return file_; }

    // Whether the file holds any item (false when it is absent, empty or cannot be read).
    bool holdsItems();

    struct Moved {
        std::size_t moved = 0;
        // What the first item that could not move answered; nothing when every item moved.
        std::optional<Outcome> firstFailure;
    };
    // Moves every item of the file into `destination`, an item already there taking the file's
    // value: each item that moved leaves the file, and the file (with its lock file) goes once
    // it is empty. Items the destination did not take stay in the file.
    Moved moveInto(SecretBackend& destination);

    struct Key {
        std::string service;
        std::string account;
    };
    // The items the file holds, by name (none when it is absent); nothing when it cannot be
    // read.
    std::optional<std::vector<Key>> keys();

  private:
    // The lock of "<file>.lock", on the lock file that is there (a move may remove it).
    FileLock lockFile() const;

    enum class Change { update, add, remove };
    Outcome change(Change kind, std::string_view service, std::string_view account,
                   std::string_view data);
    // Reads the file under its lock, lets `edit` change the items (a damaged file is set aside
    // and read as empty), and writes them back when `edit` answers success: the file and its
    // lock file go when no item is left.
    template <class Edit>
    Outcome rewrite(Edit edit);

    std::filesystem::path file_;
    std::shared_ptr<FileProblems> problems_;
    std::mutex mutex_;
};

}  // namespace vask
