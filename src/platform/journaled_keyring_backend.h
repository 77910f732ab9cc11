#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/file_secret_backend.h"
#include "platform/secret_backend.h"

namespace vask {

// The desktop's keyring with the data folder as its record of what the user did: a change is
// kept there before it is reported done whenever the keyring does not make it (it refused, did
// not answer in time, or the application quits meanwhile), and a later start finishes it.
//
// - A write the keyring did not take goes into `pending` (credentials.json), which reads see
//   first, and which settle() moves into the keyring.
// - A removal is first noted in `removed` (an item per account; its value means nothing), and
//   `pending`'s copy goes at once; the note is dropped once the keyring no longer holds the
//   item. While noted, the item reads as absent, whatever the keyring still holds.
//
// So a quit never undoes a sign-in or a sign-out: the next start shows what the user did.
class JournaledKeyringBackend final : public SecretBackend {
  public:
    JournaledKeyringBackend(std::shared_ptr<SecretBackend> keyring,
                            std::shared_ptr<FileSecretBackend> pending,
                            std::shared_ptr<FileSecretBackend> removed);

    struct Settled {
        std::size_t moved = 0;
        std::size_t removed = 0;
        // The first refusal of the keyring (locked, no default keyring); nothing when it took
        // everything or only failed to answer.
        std::optional<Outcome> refusal;
        // Whether anything is left for a later start.
        bool unfinished = false;
    };
    // Carries the record over into the keyring: the removals it did not make, then the items
    // it did not take. What it does not do now stays recorded.
    Settled settle();

    ReadResult copyMatching(std::string_view service, std::string_view account) override;
    Outcome update(std::string_view service, std::string_view account,
                   std::string_view data) override;
    Outcome add(std::string_view service, std::string_view account, std::string_view data) override;
    Outcome remove(std::string_view service, std::string_view account) override;
    // Unlocks the keyring, then settles what the record holds.
    Outcome unlock(std::string_view service) override;
    std::string_view kind() const override { return keyring_->kind(); }
    bool mayBlock() const override { return keyring_->mayBlock(); }

  private:
    // Whether a removal of the item is still to be made in the keyring.
    bool removalNoted(std::string_view service, std::string_view account);
    // Updates (`replacing`) or adds the item in the keyring, else in `pending`.
    Outcome change(bool replacing, std::string_view service, std::string_view account,
                   std::string_view data);

    std::shared_ptr<SecretBackend> keyring_;
    std::shared_ptr<FileSecretBackend> pending_;
    std::shared_ptr<FileSecretBackend> removed_;
    // One change at a time, so a write and a removal of the same item keep their order.
    std::mutex changing_;
};

}  // namespace vask
