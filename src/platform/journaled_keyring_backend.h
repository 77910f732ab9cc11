#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/file_secret_backend.h"
#include "platform/secret_backend.h"

namespace vask {

// The desktop's keyring with the data folder as its record of what the user did: every change
// reaches the record before the keyring, so a launch that dies at any point, a keyring that
// refuses, does not answer in time, or a quit meanwhile never undoes it, and a later start
// finishes it.
//
// - A write goes into `pending` (credentials.json) first, then its removal note (if any) goes,
//   then the keyring is written, then `pending`'s copy goes once the keyring took it.
// - A removal (all of a sign-out's in one write) is first noted in `removed` (an item per
//   account whose value is the SHA-256 of the `pending` copy it removes, "" when there was
//   none), then `pending`'s copies go, then the keyring's, then the notes. A keyring that
//   cannot say its items are gone (locked, which may hide them; not answering) keeps the notes
//   until an unlock here, or a later start with the keyring unlocked, removes the items; while a
//   note stands its item reads as absent, whatever the keyring holds.
// - A read sees `pending`'s copy first unless a note names that very copy; else a noted item
//   is absent; else the keyring answers. A `removed` that cannot be read (damaged, a link, not
//   a regular file) fails closed: every item reads as absent, and the log says so. It is set
//   aside by the next change only after every item of the service is removed from the keyring
//   and the file, so no sign-out it held comes undone.
// - A failed write of the record fails a write. A removal goes on without its note: the
//   file's and the keyring's copies go as far as they can, and what stays is said.
class JournaledKeyringBackend final : public SecretBackend {
  public:
    // Called after each write that reached the record or the keyring (a test stops a launch
    // there).
    using AfterWrite = std::function<void()>;

    JournaledKeyringBackend(std::shared_ptr<SecretBackend> keyring,
                            std::shared_ptr<FileSecretBackend> pending,
                            std::shared_ptr<FileSecretBackend> removed, AfterWrite afterWrite = {});

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
    Outcome removeAll(std::string_view service, const std::vector<std::string>& accounts) override;
    // Unlocks the keyring, then settles what the record holds (a damaged record of removals
    // first: the service's items go, then the record is set aside).
    Outcome unlock(std::string_view service) override;
    std::string_view kind() const override { return keyring_->kind(); }
    bool mayBlock() const override { return keyring_->mayBlock(); }
    void askAgain() override { keyring_->askAgain(); }

  private:
    // What the record says of one item.
    enum class Recorded {
        nothing,     // the keyring answers
        kept,        // `pending`'s copy is the item
        removed,     // a removal is noted, and no newer copy waits
        unreadable,  // `removed` cannot be read: taken as removed
    };
    struct Entry {
        Recorded recorded = Recorded::nothing;
        // `pending`'s read (its copy, or why it cannot be read).
        ReadResult pending;
        // Whether a note exists (or may: `removed` cannot be read) that the keyring's copy is
        // to go.
        bool noted = false;
        // The note: which file copy it removes.
        std::optional<std::string> note;
    };
    Entry entry(std::string_view service, std::string_view account);
    // Updates (`replacing`) or adds the item: the record first, then the keyring.
    Outcome change(bool replacing, std::string_view service, std::string_view account,
                   std::string_view data);
    void wrote() const;
    // A record of removals that cannot be read goes (set aside) only once every item of
    // `service` it may hide is removed from the keyring and the file; success when the record
    // is readable or gone.
    Outcome dropUnreadableRecord(std::string_view service);
    // What a removal whose note could not be written answers: success when nothing is left,
    // else what stays, and why.
    Outcome unnoted(const Outcome& noted, const Outcome& fromFile, const Outcome& fromKeyring,
                    bool inFile);
    void sayUnreadable(const std::string& reason);

    std::shared_ptr<SecretBackend> keyring_;
    std::shared_ptr<FileSecretBackend> pending_;
    std::shared_ptr<FileSecretBackend> removed_;
    AfterWrite afterWrite_;
    // One change at a time, so a write and a removal of the same item keep their order.
    std::mutex changing_;
    std::atomic<bool> saidUnreadable_{false};
};

}  // namespace vask
