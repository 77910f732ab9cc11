#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/journaled_keyring_backend.h"
#include "support/die_after_write.h"
#include "support/log_capture.h"
#include "support/stand_in_keyring.h"
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
    EXPECT_EQ(
        FileSecretBackend(record.dir / "credentials.json").copyMatching("svc", "tokens").status,
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

using test::StandInKeyring;
using Mode = StandInKeyring::Mode;
using Items = std::map<std::string, std::string>;

// A data folder and a keyring file; each launch() builds the storage afresh over them.
struct Launches {
    test::TempDir dir;

    std::shared_ptr<JournaledKeyringBackend> launch(
        Mode mode, JournaledKeyringBackend::AfterWrite afterWrite = {}) const {
        return std::make_shared<JournaledKeyringBackend>(
            std::make_shared<StandInKeyring>(dir / "keyring.json", mode),
            std::make_shared<FileSecretBackend>(dir / "credentials.json"),
            std::make_shared<FileSecretBackend>(dir / "credentials-removed.json"),
            std::move(afterWrite));
    }
    // What a launch reads of each account.
    Items reads(Mode mode) const {
        const auto storage = launch(mode);
        Items found;
        for (const char* account : {"token", "email", "session"}) {
            if (auto data = storage->copyMatching("svc", account).data) {
                found[account] = *data;
            }
        }
        return found;
    }
    Items keyring() const {
        FileSecretBackend items(dir / "keyring.json");
        Items found;
        for (const char* account : {"token", "email", "session"}) {
            if (auto data = items.copyMatching("svc", account).data) {
                found[account] = *data;
            }
        }
        return found;
    }
    // Runs `change` in a forked launch that dies right after its `crashAt`-th write (to the
    // record or the keyring). Whether the change ended before that write.
    bool dieAfterWrite(int crashAt, Mode mode,
                       const std::function<void(JournaledKeyringBackend&)>& change) const {
        return test::endedBeforeWrite(crashAt, [&](const std::function<void()>& afterWrite) {
            change(*launch(mode, afterWrite));
        });
    }
};

// Each change a user makes (sign-in, token refresh, sign-out, and the start that moves the
// record into the keyring), cut by a launch that dies after each of its writes in turn, with a
// keyring that answers, refuses or never answers: the next start reads what the user did last,
// with the keyring still away and once it answers, and a start whose keyring answers leaves
// exactly that in the keyring and no record behind.
TEST(JournaledKeyringBackendTest, EveryCrashPointKeepsWhatTheUserDidLast) {
    struct Case {
        const char* name;
        // Earlier launches, each with its keyring's answer.
        std::vector<std::pair<Mode, std::function<void(JournaledKeyringBackend&)>>> earlier;
        std::function<void(JournaledKeyringBackend&)> change;
        Items after;
    };
    const auto signOut = [](JournaledKeyringBackend& storage) {
        storage.removeAll("svc", {"token", "email", "session"});
    };
    const auto signIn = [](std::string token) {
        return [token](JournaledKeyringBackend& storage) { storage.add("svc", "token", token); };
    };
    const auto refresh = [](JournaledKeyringBackend& storage) {
        storage.update("svc", "session", "s2");
    };
    const std::vector<Case> cases = {
        {"sign-in", {}, signIn("t"), {{"token", "t"}}},
        {"sign-in after a sign-out the locked keyring had not made",
         {{Mode::answers, signIn("old")}, {Mode::refuses, signOut}},
         signIn("new"),
         {{"token", "new"}}},
        {"refresh after a sign-in kept in the file",
         {{Mode::answers, signIn("t")},
          {Mode::refuses,
           [](JournaledKeyringBackend& storage) { storage.add("svc", "session", "s1"); }}},
         refresh,
         {{"token", "t"}, {"session", "s2"}}},
        {"refresh",
         {{Mode::answers,
           [](JournaledKeyringBackend& storage) { storage.add("svc", "session", "s1"); }}},
         refresh,
         {{"session", "s2"}}},
        {"sign-out",
         {{Mode::answers,
           [](JournaledKeyringBackend& storage) {
               storage.add("svc", "token", "t");
               storage.add("svc", "email", "e");
           }},
          {Mode::refuses,
           [](JournaledKeyringBackend& storage) { storage.add("svc", "session", "s"); }}},
         signOut,
         {}},
        {"move at start",
         {{Mode::answers,
           [](JournaledKeyringBackend& storage) {
               storage.add("svc", "token", "t1");
               storage.add("svc", "email", "e");
           }},
          {Mode::refuses,
           [](JournaledKeyringBackend& storage) {
               storage.update("svc", "token", "t2");
               storage.remove("svc", "email");
           }}},
         [](JournaledKeyringBackend& storage) { storage.settle(); },
         {{"token", "t2"}}},
    };
    for (const auto& c : cases) {
        for (const Mode mode : {Mode::answers, Mode::refuses, Mode::silent}) {
            bool ended = false;
            for (int crashAt = 1; !ended; ++crashAt) {
                SCOPED_TRACE(std::string(c.name) + ", keyring " +
                             std::to_string(static_cast<int>(mode)) + ", dies after write " +
                             std::to_string(crashAt));
                Launches launches;
                for (const auto& [earlierMode, step] : c.earlier) {
                    step(*launches.launch(earlierMode));
                }
                ended = launches.dieAfterWrite(crashAt, mode, c.change);
                // With the keyring still away, what it alone holds cannot be read, but nothing
                // read is older than what the user did.
                for (const auto& [account, value] : launches.reads(mode)) {
                    EXPECT_EQ(c.after.count(account) ? c.after.at(account) : "", value) << account;
                }
                EXPECT_EQ(launches.reads(Mode::answers), c.after);
                const auto settled = launches.launch(Mode::answers)->settle();
                EXPECT_FALSE(settled.unfinished);
                EXPECT_EQ(launches.reads(Mode::answers), c.after);
                EXPECT_EQ(launches.keyring(), c.after);
                EXPECT_FALSE(std::filesystem::exists(launches.dir / "credentials.json"));
                EXPECT_FALSE(std::filesystem::exists(launches.dir / "credentials.json.lock"));
                EXPECT_FALSE(std::filesystem::exists(launches.dir / "credentials-removed.json"));
                ASSERT_LT(crashAt, 20);
            }
        }
    }
}

// Ways a record of removals cannot be read, each made at the path it is given.
std::vector<std::pair<const char*, std::function<void(const std::filesystem::path&)>>>
unreadableRecords() {
    return {
        {"cut short", [](const auto& path) { std::ofstream(path) << R"({"svc": {"tok)"; }},
        {"garbled", [](const auto& path) { std::ofstream(path) << "\x01\xfe not json"; }},
        {"not items", [](const auto& path) { std::ofstream(path) << R"({"svc": 3})"; }},
        {"a link",
         [](const auto& path) {
             std::ofstream(path.string() + ".elsewhere") << "{}";
             std::filesystem::create_symlink(path.string() + ".elsewhere", path);
         }},
        {"a FIFO", [](const auto& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
        {"a folder", [](const auto& path) { std::filesystem::create_directory(path); }},
    };
}

// A record of removals that cannot be read (cut short, garbled, a link, a FIFO, a folder)
// fails closed: the account reads as signed out, never as the keyring's older sign-in, and the
// log says why.
TEST(JournaledKeyringBackendTest, AnUnreadableRemovalRecordReadsAsSignedOut) {
    const auto damages = unreadableRecords();
    for (const auto& [name, damage] : damages) {
        SCOPED_TRACE(name);
        Launches launches;
        launches.launch(Mode::answers)->add("svc", "token", "t");
        damage(launches.dir / "credentials-removed.json");
        test::LogCapture log;
        EXPECT_EQ(launches.reads(Mode::answers), Items{});
        EXPECT_TRUE(log->mentions("secret_removal_record_unreadable"));
        EXPECT_TRUE(launches.launch(Mode::answers)->settle().unfinished);
        EXPECT_EQ(launches.reads(Mode::answers), Items{});
    }
}

// A damaged record of removals may hold a sign-out: the next change never sets it aside while
// what it could hide is still kept. A write first removes the service's items from the keyring
// and the file (the sign-out made for good), then replaces the record; with a keyring that
// refuses, the write fails, saying why, and the record stays as it was.
TEST(JournaledKeyringBackendTest, ADamagedRemovalRecordIsNeverDroppedWithWhatItHides) {
    const auto damages = unreadableRecords();
    for (const auto& [name, damage] : damages) {
        for (const Mode mode : {Mode::answers, Mode::refuses}) {
            SCOPED_TRACE(std::string(name) + (mode == Mode::answers ? ", answers" : ", refuses"));
            Launches launches;
            const auto record = launches.dir / "credentials-removed.json";
            launches.launch(Mode::answers)->add("svc", "token", "old");
            launches.launch(Mode::answers)->add("svc", "email", "e");
            // Signed out while the keyring refused: only the record says so.
            EXPECT_EQ(launches.launch(Mode::refuses)->removeAll("svc", {"token", "email"}),
                      SecretBackend::success);
            std::filesystem::remove(record);
            damage(record);

            const auto written = launches.launch(mode)->add("svc", "session", "new");
            if (mode == Mode::answers) {
                EXPECT_EQ(written.status, SecretBackend::success) << written.reason;
                EXPECT_EQ(launches.reads(Mode::answers), (Items{{"session", "new"}}));
                EXPECT_EQ(launches.keyring(), (Items{{"session", "new"}}));
            } else {
                EXPECT_EQ(written.status, SecretBackend::interactionNotAllowed);
                EXPECT_NE(written.reason.find(record.string()), std::string::npos)
                    << written.reason;
                EXPECT_EQ(launches.reads(Mode::answers), Items{});
                EXPECT_EQ(launches.keyring(), (Items{{"token", "old"}, {"email", "e"}}));
                std::error_code error;
                EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(record, error)))
                    << "the record stays until what it hides is gone";
            }
        }
    }
}

// Signed in again with the very value a recorded sign-out removed from the file (an e-mail
// address), with a launch that dies after each write in turn: once the new copy is in the file,
// the next start reads it, never the old sign-out's note naming the same value.
TEST(JournaledKeyringBackendTest, ASignInAgainWithTheSameValueIsNotTakenForItsSignOut) {
    for (int crashAt = 1; crashAt <= 4; ++crashAt) {
        SCOPED_TRACE(crashAt);
        Launches launches;
        ASSERT_EQ(launches.launch(Mode::refuses)->add("svc", "email", "e"), SecretBackend::success);
        ASSERT_EQ(launches.launch(Mode::refuses)->removeAll("svc", {"email"}),
                  SecretBackend::success);
        launches.dieAfterWrite(crashAt, Mode::refuses, [](JournaledKeyringBackend& storage) {
            storage.add("svc", "email", "e");
        });
        const bool copyWritten = FileSecretBackend(launches.dir / "credentials.json")
                                     .copyMatching("svc", "email")
                                     .status == SecretBackend::success;
        const Items expected = copyWritten ? Items{{"email", "e"}} : Items{};
        EXPECT_EQ(launches.reads(Mode::refuses), expected);
    }
}

// A write whose record cannot be written fails, with the file's own reason (never "the keyring
// is locked"), and leaves the keyring as it was, whatever it would have done.
TEST(JournaledKeyringBackendTest, AWriteTheRecordDidNotTakeFails) {
    for (const Mode mode : {Mode::answers, Mode::refuses}) {
        SCOPED_TRACE(static_cast<int>(mode));
        Launches launches;
        launches.launch(Mode::answers)->add("svc", "token", "t");
        // A place no record can be written in, as on a full disk.
        std::ofstream(launches.dir / "blocked") << "";
        const auto blocked = launches.dir / "blocked" / "record.json";
        const auto keyring = std::make_shared<StandInKeyring>(launches.dir / "keyring.json", mode);
        const auto written =
            JournaledKeyringBackend(
                keyring, std::make_shared<FileSecretBackend>(blocked),
                std::make_shared<FileSecretBackend>(launches.dir / "credentials-removed.json"))
                .update("svc", "token", "new");
        EXPECT_EQ(written.status, SecretBackend::internalError);
        EXPECT_NE(written.reason.find("record.json"), std::string::npos) << written.reason;
        EXPECT_EQ(launches.keyring(), (Items{{"token", "t"}}));
    }
}

// A sign-out takes the credentials off the machine even where its removals cannot be noted
// (no room on the disk, a record that is a link, a FIFO or a folder): the file's copies and
// the keyring's go, and only what could not go is reported, with why.
TEST(JournaledKeyringBackendTest, ASignOutWithoutItsNoteStillRemovesWhatItCan) {
    const std::vector<
        std::pair<const char*, std::function<std::filesystem::path(const std::filesystem::path&)>>>
        records = {
            {"no room",
             [](const auto& dir) {
                 std::ofstream(dir / "blocked") << "";
                 return dir / "blocked" / "removed.json";
             }},
            {"a link",
             [](const auto& dir) {
                 std::ofstream(dir / "elsewhere.json") << "{}";
                 std::filesystem::create_symlink(dir / "elsewhere.json", dir / "removed.json");
                 return dir / "removed.json";
             }},
            {"a FIFO",
             [](const auto& dir) {
                 EXPECT_EQ(::mkfifo((dir / "removed.json").c_str(), 0600), 0);
                 return dir / "removed.json";
             }},
            {"a folder",
             [](const auto& dir) {
                 std::filesystem::create_directory(dir / "removed.json");
                 return dir / "removed.json";
             }},
        };
    for (const auto& [name, record] : records) {
        for (const Mode mode : {Mode::answers, Mode::refuses}) {
            SCOPED_TRACE(std::string(name) + (mode == Mode::answers ? ", answers" : ", refuses"));
            Launches launches;
            launches.launch(Mode::answers)->add("svc", "token", "t");
            FileSecretBackend copies(launches.dir / "credentials.json");
            ASSERT_EQ(copies.add("svc", "email", "e"), SecretBackend::success);
            const auto removals = record(launches.dir.path());
            const auto removed =
                JournaledKeyringBackend(
                    std::make_shared<StandInKeyring>(launches.dir / "keyring.json", mode),
                    std::make_shared<FileSecretBackend>(launches.dir / "credentials.json"),
                    std::make_shared<FileSecretBackend>(removals))
                    .removeAll("svc", {"token", "email", "session"});
            EXPECT_EQ(copies.copyMatching("svc", "email").status, SecretBackend::itemNotFound);
            if (mode == Mode::answers) {
                EXPECT_EQ(removed.status, SecretBackend::success) << removed.reason;
                EXPECT_EQ(launches.keyring(), Items{});
            } else {
                EXPECT_EQ(removed.status, SecretBackend::interactionNotAllowed);
                EXPECT_NE(removed.reason.find("removed.json"), std::string::npos) << removed.reason;
                EXPECT_NE(removed.reason.find("the keyring is locked"), std::string::npos)
                    << removed.reason;
                EXPECT_EQ(launches.keyring(), (Items{{"token", "t"}}));
            }
        }
    }
}

}  // namespace
}  // namespace vask
