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
// "<file>.corrupt-<seconds>" by the next change rather than overwritten, logged, and reported to
// `problems` for the user.
class FileSecretBackend final : public SecretBackend {
  public:
    explicit FileSecretBackend(std::filesystem::path file,
                               std::shared_ptr<FileProblems> problems = nullptr);

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
    std::shared_ptr<FileProblems> problems_;
    std::mutex mutex_;
};

}  // namespace vask
