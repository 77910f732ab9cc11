#include "sources/contacts_sync_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "folder_fixtures.h"
#include "platform/capturing_log_sink.h"
#include "platform/file_io.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "sources/vcard_contact_store.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using Status = ContactAuthorizationStatus;

SystemContact person(std::string id, std::string given) {
    SystemContact contact;
    contact.identifier = std::move(id);
    contact.givenName = std::move(given);
    return contact;
}

// An address book in memory whose enumeration can run a hook (to act "during" a
// synchronisation) and counts how often it was read.
class ScriptedContactStore final : public SystemContactStore {
  public:
    Status status = Status::authorized;
    bool grantOnRequest = true;
    std::atomic<int> accessRequests{0};
    std::atomic<int> enumerations{0};
    std::function<void()> duringEnumeration;
    std::optional<std::string> enumerationError;

    void setContacts(std::vector<SystemContact> contacts) {
        std::lock_guard lock(mutex_);
        contacts_ = std::move(contacts);
    }

    Status authorizationStatus() const override { return status; }
    void requestAccess(AccessCompletion completion) override {
        ++accessRequests;
        if (grantOnRequest) {
            status = Status::authorized;
        }
        completion(grantOnRequest, std::nullopt);
    }
    std::vector<SystemContact> enumerateContacts(const ContactFetchRequest&) override {
        ++enumerations;
        if (duringEnumeration) {
            duringEnumeration();
        }
        if (enumerationError) {
            throw SystemContactStoreError(SystemContactStoreError::Case::enumerationFailed,
                                          *enumerationError);
        }
        std::lock_guard lock(mutex_);
        return contacts_;
    }
    Subscription observeChanges(std::function<void()> changed) override {
        return changes.observe(std::move(changed));
    }

    ChangeObservers changes;

  private:
    std::mutex mutex_;
    std::vector<SystemContact> contacts_;
};

std::map<std::string, std::string> storedNames(const std::filesystem::path& path) {
    auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement rows(db.get(), "SELECT apple_id, display_name FROM contacts");
    std::map<std::string, std::string> names;
    while (rows.step()) {
        names[rows.columnText(0)] = rows.columnText(1);
    }
    return names;
}

class ContactsSyncEngineTest : public ::testing::Test {
  protected:
    std::unique_ptr<ContactsSyncEngine> makeEngine(std::shared_ptr<Executor> queue) {
        auto engine = std::make_unique<ContactsSyncEngine>(
            ContactsManager(book_, clock_), ContactsStore(dbPath()), "1", std::move(queue));
        engine->setOnSyncComplete([this] { ++completions_; });
        engine->setOnSyncError([this](const std::exception& error) {
            std::lock_guard lock(errorsMutex_);
            errors_.emplace_back(error.what());
        });
        return engine;
    }

    std::filesystem::path dbPath() const { return dir_ / "contacts.db"; }
    void postChange() { book_->changes.notify(); }

    test::TempDir dir_;
    test::FakeClock clock_;
    std::shared_ptr<ScriptedContactStore> book_ = std::make_shared<ScriptedContactStore>();
    std::shared_ptr<ManualExecutor> queue_ = std::make_shared<ManualExecutor>();
    std::atomic<int> completions_{0};
    std::mutex errorsMutex_;
    std::vector<std::string> errors_;
};

TEST_F(ContactsSyncEngineTest, StartNeedsAccess) {
    struct Case {
        const char* name;
        Status status;
        bool grantOnRequest;
        bool started;
        int accessRequests;
    };
    const std::vector<Case> cases = {
        {"already authorized", Status::authorized, false, true, 0},
        {"asked and granted", Status::notDetermined, true, true, 1},
        {"asked and refused", Status::notDetermined, false, false, 1},
        {"denied earlier: not asked again", Status::denied, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        book_ = std::make_shared<ScriptedContactStore>();
        book_->status = c.status;
        book_->grantOnRequest = c.grantOnRequest;
        ContactsSyncEngine engine(ContactsManager(book_, clock_),
                                  ContactsStore(dir / "contacts.db"), "1", queue_);
        if (c.started) {
            engine.start();
            engine.start();  // already started: asks nothing, requests nothing
        } else {
            try {
                engine.start();
                ADD_FAILURE() << "start succeeded without access";
            } catch (const ContactsSyncError& error) {
                EXPECT_EQ(error.kind(), ContactsSyncError::Case::permissionDenied);
                EXPECT_STREQ(error.what(), "Contacts permission was not granted.");
            }
        }
        EXPECT_EQ(engine.isStarted(), c.started);
        EXPECT_EQ(book_->accessRequests, c.accessRequests);
        EXPECT_EQ(queue_->runUntilIdle(), c.started ? 1U : 0U);

        // Access granted later: a new start goes through.
        book_->status = Status::authorized;
        engine.start();
        EXPECT_EQ(queue_->runUntilIdle(), c.started ? 0U : 1U);
    }
}

TEST_F(ContactsSyncEngineTest, FailedSynchronisationKeepsTheStoredContacts) {
    struct Case {
        const char* name;
        bool storeFails;
        bool enumerationFails;
        bool hasErrorHandler;
        std::string expectedError;
    };
    const std::vector<Case> cases = {
        {"the store refuses the write", true, false, true, "disk refused"},
        {"the address book cannot be read", false, true, true, "folder unreadable"},
        {"no handler: the failure is logged", true, false, false, "disk refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::LogCapture logs;
        book_ = std::make_shared<ScriptedContactStore>();
        book_->setContacts({person("a", "Ada")});
        completions_ = 0;
        errors_.clear();
        ContactsSyncEngine engine(ContactsManager(book_, clock_),
                                  ContactsStore(dir / "contacts.db"), "1", queue_);
        engine.setOnSyncComplete([this] { ++completions_; });
        engine.start();
        queue_->runUntilIdle();
        ASSERT_EQ(completions_, 1);

        if (c.hasErrorHandler) {
            engine.setOnSyncError(
                [this](const std::exception& error) { errors_.emplace_back(error.what()); });
        }
        if (c.storeFails) {
            auto db = SQLiteConnection::open(dir / "contacts.db",
                                             SQLiteSupport::OpenMode::readWriteCreate);
            db.execute(
                "CREATE TRIGGER refuse BEFORE INSERT ON contacts "
                "BEGIN SELECT RAISE(ABORT, 'disk refused'); END;");
        }
        if (c.enumerationFails) {
            book_->enumerationError = "folder unreadable";
        }
        book_->setContacts({person("b", "Grace")});
        postChange();
        queue_->runUntilIdle();

        EXPECT_EQ(completions_, 1);
        if (c.hasErrorHandler) {
            ASSERT_EQ(errors_.size(), 1U);
            EXPECT_NE(errors_[0].find(c.expectedError), std::string::npos) << errors_[0];
        } else {
            const auto logged = logs->events("contacts_sync_failed");
            ASSERT_EQ(logged.size(), 1U);
            EXPECT_NE(logged[0].metadata.at("error").find(c.expectedError), std::string::npos);
        }
        EXPECT_EQ(storedNames(dir / "contacts.db"),
                  (std::map<std::string, std::string>{{"a", "Ada"}}));

        // Nothing is retried, and the engine is not stuck: the next change tries again.
        book_->enumerationError.reset();
        if (c.storeFails) {
            auto db = SQLiteConnection::open(dir / "contacts.db",
                                             SQLiteSupport::OpenMode::readWriteCreate);
            db.execute("DROP TRIGGER refuse");
        }
        postChange();
        queue_->runUntilIdle();
        EXPECT_EQ(completions_, 2);
        EXPECT_EQ(storedNames(dir / "contacts.db"),
                  (std::map<std::string, std::string>{{"b", "Grace"}}));
    }
}

TEST_F(ContactsSyncEngineTest, StopLetsTheRunningSynchronisationFinish) {
    auto engine = makeEngine(queue_);
    engine->start();
    book_->duringEnumeration = [&] { engine->stop(); };
    queue_->runUntilIdle();
    EXPECT_EQ(completions_, 1);
    EXPECT_FALSE(engine->isStarted());

    book_->duringEnumeration = nullptr;
    postChange();
    EXPECT_EQ(queue_->runUntilIdle(), 0U);

    // Starting again goes through every step, the first synchronisation included.
    engine->start();
    EXPECT_EQ(queue_->runUntilIdle(), 1U);
    EXPECT_EQ(completions_, 2);
}

TEST_F(ContactsSyncEngineTest, ReleasedEngineLeavesItsQueuedJobUndone) {
    auto engine = makeEngine(queue_);
    engine->start();
    engine.reset();
    EXPECT_EQ(queue_->runUntilIdle(), 1U);
    EXPECT_EQ(book_->enumerations, 0);
    EXPECT_EQ(completions_, 0);
    postChange();
    EXPECT_EQ(queue_->runUntilIdle(), 0U);
}

TEST_F(ContactsSyncEngineTest, ChangesFromOtherThreadsDuringARunCauseOneMore) {
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool inside = false;
    bool release = false;
    book_->duringEnumeration = [&] {
        std::unique_lock lock(gateMutex);
        if (release) {
            return;
        }
        inside = true;
        gateChanged.notify_all();
        gateChanged.wait(lock, [&] { return release; });
    };
    auto engine = makeEngine(nullptr);
    engine->start();
    {
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(gateChanged.wait_for(lock, 10s, [&] { return inside; }));
    }
    std::vector<std::thread> posters;
    for (int i = 0; i < 10; ++i) {
        posters.emplace_back([this, &engine, i] {
            if (i % 2 == 0) {
                postChange();
            } else {
                engine->scheduleSync();
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    {
        std::lock_guard lock(gateMutex);
        release = true;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(eventually([&] { return completions_ == 2; }));
    engine.reset();
    EXPECT_EQ(book_->enumerations, 2);
    EXPECT_EQ(completions_, 2);
}

TEST_F(ContactsSyncEngineTest, RewritingACardFileSyncsOnceMore) {
    const auto folder = dir_ / "cards";
    std::filesystem::create_directories(folder);
    writeFileAtomically(folder / "ada.vcf",
                        "BEGIN:VCARD\nVERSION:3.0\nUID:ada\nFN:Ada Lovelace\nEND:VCARD\n");
    InMemoryDefaults defaults;
    auto cards = std::make_shared<VCardContactStore>(folder, defaults, clock_);
    ContactsSyncEngine engine(ContactsManager(cards, clock_), ContactsStore(dbPath()), "1");
    engine.setOnSyncComplete([this] { ++completions_; });
    engine.start();
    ASSERT_TRUE(eventually([&] { return completions_ == 1; }));
    EXPECT_EQ(storedNames(dbPath()), (std::map<std::string, std::string>{{"ada", "Ada Lovelace"}}));

    const auto seen = cards->watcher().relevantEventCount();
    writeFileAtomically(folder / "ada.vcf",
                        "BEGIN:VCARD\nVERSION:3.0\nUID:ada\nFN:Ada King\nEND:VCARD\n");
    // Every event of the rewrite is in by now, so all of them fall into the one delivery.
    cards->watcher().waitUntilEventsTakenIn();
    EXPECT_GT(cards->watcher().relevantEventCount(), seen);
    clock_.advance(FolderWatcher::defaultLatency);
    ASSERT_TRUE(eventually([&] { return completions_ == 2; }));
    EXPECT_EQ(storedNames(dbPath()), (std::map<std::string, std::string>{{"ada", "Ada King"}}));
    // The synchronisation read the card again; once what that did to the folder has been taken
    // in, no further delivery may be armed (the fake clock would hold it).
    cards->watcher().waitUntilEventsTakenIn();
    EXPECT_EQ(clock_.pendingTasks(), 0U) << "a further synchronisation is on its way";
    clock_.advance(1s);
    EXPECT_EQ(completions_, 2);
}

}  // namespace
}  // namespace vask
