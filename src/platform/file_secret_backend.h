#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/file_problem.h"
#include "platform/secret_backend.h"

namespace vask {

// Items in one JSON file for machines without a Secret Service: {service: {account: base64}},
// mode 0600, replaced atomically on every change. Changes take an exclusive lock on
// "<file>.lock" and re-read the file first, so two instances sharing it never drop each other's
// items. A file that does not parse fails every read (decodeFailed) and is moved aside to
// "<file>.corrupt-<seconds>" by the next change rather than overwritten, and reported to
// `problems` for the user.
class FileSecretBackend final : public SecretBackend {
  public:
    explicit FileSecretBackend(std::filesystem::path file,
                               FileProblems& problems = FileProblems::shared());

    ReadResult copyMatching(std::string_view service, std::string_view account) override;
    Status update(std::string_view service, std::string_view account,
                  std::string_view data) override;
    Status add(std::string_view service, std::string_view account, std::string_view data) override;
    Status remove(std::string_view service, std::string_view account) override;
    std::string_view kind() const override { return "file"; }

    const std::filesystem::path& file() const { return file_; }

    // Whether the file holds any item (false when it is absent, empty or cannot be read).
    bool holdsItems();

    // Moves every item of the file into `destination`, an item already there taking the file's
    // value, then removes the file. When any item cannot be moved the file is kept whole and
    // false is returned. True when there is no file.
    bool moveEverythingInto(SecretBackend& destination);

  private:
    enum class Change { update, add, remove };
    Status change(Change kind, std::string_view service, std::string_view account,
                  std::string_view data);

    std::filesystem::path file_;
    FileProblems& problems_;
    std::mutex mutex_;
};

// The Secret Service once one answers, with what a run without it kept in the credential file:
// at the first operation every item of the file moves into `primary` and the file goes, so a
// sign-in or key made while no keyring ran survives the keyring's arrival. Should that move
// fail, the file is still read where `primary` has no item, and removals reach it too (a
// sign-out must not be undone by the file); writes go to `primary` only.
class MigratingSecretBackend final : public SecretBackend {
  public:
    MigratingSecretBackend(std::shared_ptr<SecretBackend> primary,
                           std::shared_ptr<FileSecretBackend> file);

    ReadResult copyMatching(std::string_view service, std::string_view account) override;
    Status update(std::string_view service, std::string_view account,
                  std::string_view data) override;
    Status add(std::string_view service, std::string_view account, std::string_view data) override;
    Status remove(std::string_view service, std::string_view account) override;
    std::string_view kind() const override { return primary_->kind(); }

  private:
    // Moves the file's items the first time; whether the file must still be read.
    bool fileStillRead();

    std::shared_ptr<SecretBackend> primary_;
    std::shared_ptr<FileSecretBackend> file_;
    std::once_flag moved_;
    bool fileStillRead_ = false;
};

}  // namespace vask
