#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/journaled_keyring_backend.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Op = InMemorySecretBackend::Operation;
using Status = SecretBackend::Status;

// One data folder and a keyring: each start() builds the storage afresh over them, as a
// launch of the application does.
struct Record {
    test::TempDir dir;
    std::shared_ptr<InMemorySecretBackend> keyring = std::make_shared<InMemorySecretBackend>();

    std::shared_ptr<JournaledKeyringBackend> start() const {
        return std::make_shared<JournaledKeyringBackend>(
            keyring, std::make_shared<FileSecretBackend>(dir / "credentials.json"),
            std::make_shared<FileSecretBackend>(dir / "credentials-removed.json"));
    }
    // Every later change of the keyring answers `status` (nothing for success).
    void keyringAnswers(Status status) const {
        keyring->clearFailures();
        if (status == SecretBackend::success) {
            return;
        }
        for (const char* account : {"tokens", "email"}) {
            for (const auto op : {Op::update, Op::add, Op::remove}) {
                keyring->fail(op, account, status);
            }
        }
    }
    std::optional<std::string> read(const std::string& account) const {
        return start()->copyMatching("svc", account).data;
    }
};

// A sign-out reported done is one at the next start, whatever the keyring did meanwhile: it
// did not answer in time, the quit gave its call up, or it is locked. The next start whose
// keyring answers finishes it in the keyring.
TEST(JournaledKeyringBackendTest, ASignOutSurvivesAKeyringThatDidNotMakeIt) {
    for (const Status answer : {SecretBackend::cancelled, SecretBackend::notAvailable,
                                SecretBackend::interactionNotAllowed}) {
        SCOPED_TRACE(answer);
        Record record;
        record.keyring->put("svc", "tokens", "t");
        record.keyring->put("svc", "email", "e");
        record.keyringAnswers(answer);
        {
            const auto storage = record.start();
            EXPECT_EQ(storage->remove("svc", "tokens"), SecretBackend::success);
            EXPECT_EQ(storage->remove("svc", "email"), SecretBackend::success);
            EXPECT_EQ(storage->copyMatching("svc", "tokens").status, SecretBackend::itemNotFound);
        }
        ASSERT_EQ(record.keyring->itemCount(), 2u) << "the keyring still holds them";
        // The next start, the keyring still not making it: signed out all the same.
        EXPECT_EQ(record.read("tokens"), std::nullopt);
        EXPECT_EQ(record.start()->settle().unfinished, true);
        EXPECT_EQ(record.read("email"), std::nullopt);

        // A start whose keyring answers removes them for good.
        record.keyringAnswers(SecretBackend::success);
        const auto settled = record.start()->settle();
        EXPECT_EQ(settled.removed, 2u);
        EXPECT_FALSE(settled.unfinished);
        EXPECT_EQ(record.keyring->itemCount(), 0u);
        EXPECT_EQ(record.read("tokens"), std::nullopt);
    }
}

// A sign-in reported done is one at the next start: what the keyring did not take waits in the
// file (read first), and moves into the keyring once it answers. A later sign-out removes both.
TEST(JournaledKeyringBackendTest, ASignInSurvivesAKeyringThatDidNotTakeIt) {
    for (const Status answer : {SecretBackend::cancelled, SecretBackend::interactionNotAllowed}) {
        SCOPED_TRACE(answer);
        Record record;
        record.keyring->put("svc", "tokens", "older");
        record.keyringAnswers(answer);
        EXPECT_EQ(record.start()->update("svc", "tokens", "new"), SecretBackend::success);
        EXPECT_EQ(record.start()->add("svc", "email", "e"), SecretBackend::success);
        EXPECT_EQ(record.keyring->get("svc", "tokens"), "older");
        EXPECT_EQ(record.read("tokens"), "new") << "the next start is signed in as the user was";

        record.keyringAnswers(SecretBackend::success);
        const auto settled = record.start()->settle();
        EXPECT_EQ(settled.moved, 2u);
        EXPECT_EQ(record.keyring->get("svc", "tokens"), "new");
        EXPECT_FALSE(std::filesystem::exists(record.dir / "credentials.json"));

        // Signed out with the keyring answering: nothing is left anywhere.
        const auto storage = record.start();
        EXPECT_EQ(storage->remove("svc", "tokens"), SecretBackend::success);
        EXPECT_EQ(storage->remove("svc", "email"), SecretBackend::success);
        EXPECT_EQ(record.keyring->itemCount(), 0u);
        EXPECT_EQ(record.read("tokens"), std::nullopt);
    }
}

// The order of what the user did holds across starts: a sign-out after a sign-in the keyring
// did not take removes the file's copy at once, and a sign-in after a recorded sign-out is read
// again (the note of the removal goes).
TEST(JournaledKeyringBackendTest, SignInAndSignOutKeepTheirOrder) {
    Record record;
    record.keyringAnswers(SecretBackend::cancelled);
    const auto storage = record.start();
    ASSERT_EQ(storage->add("svc", "tokens", "first"), SecretBackend::success);
    ASSERT_EQ(storage->remove("svc", "tokens"), SecretBackend::success);
    EXPECT_EQ(FileSecretBackend(record.dir / "credentials.json")
                  .copyMatching("svc", "tokens")
                  .status,
              SecretBackend::itemNotFound)
        << "the file's credentials go at once";
    EXPECT_EQ(record.read("tokens"), std::nullopt);
    ASSERT_EQ(storage->add("svc", "tokens", "second"), SecretBackend::success);
    EXPECT_EQ(record.read("tokens"), "second");

    record.keyringAnswers(SecretBackend::success);
    record.start()->settle();
    EXPECT_EQ(record.keyring->get("svc", "tokens"), "second");
    EXPECT_EQ(record.read("tokens"), "second");
}

// A read of a locked keyring says so (never "no item"), so the account is not taken for
// signed out.
TEST(JournaledKeyringBackendTest, ALockedKeyringIsNotAnEmptyOne) {
    Record record;
    record.keyring->put("svc", "tokens", "t");
    record.keyring->fail(Op::copyMatching, "tokens", SecretBackend::interactionNotAllowed,
                         "the keyring is locked");
    const auto read = record.start()->copyMatching("svc", "tokens");
    EXPECT_EQ(read.status, SecretBackend::interactionNotAllowed);
    EXPECT_EQ(read.reason, "the keyring is locked");
}

}  // namespace
}  // namespace vask
