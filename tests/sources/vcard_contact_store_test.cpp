#include "sources/vcard_contact_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "folder_fixtures.h"
#include "platform/file_io.h"
#include "sources/contacts_manager.h"
#include "sources/contacts_store.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using Status = ContactAuthorizationStatus;

class VCardContactStoreTest : public ::testing::Test {
  protected:
    std::filesystem::path folder() const { return dir_ / "contacts"; }

    std::shared_ptr<VCardContactStore> makeStore() {
        auto store = std::make_shared<VCardContactStore>(folder(), defaults_, clock_);
        changes_ = store->observeChanges([this] { ++notifications_; });
        return store;
    }

    // A file moved in whole, as sync tools write: exactly one event in the folder.
    void moveIn(const std::filesystem::path& target, std::string_view text) {
        const auto staged = staging_ / target.filename();
        writeFileAtomically(staged, text);
        std::filesystem::rename(staged, target);
    }

    // Lets the latency pass once the watcher has read `events` relevant events.
    void deliverAfter(const VCardContactStore& store, std::size_t events) {
        ASSERT_TRUE(eventually([&] { return store.watcher().relevantEventCount() >= events; }));
        EXPECT_EQ(store.watcher().relevantEventCount(), events);
        clock_.advance(FolderWatcher::defaultLatency);
    }

    test::TempDir dir_;
    test::TempDir staging_;
    InMemoryDefaults defaults_;
    test::FakeClock clock_;
    std::atomic<int> notifications_{0};
    Subscription changes_;
};

TEST_F(VCardContactStoreTest, FolderOfCardsFillsTheContactsDatabase) {
    test::writeFileCreatingFolders(
        folder() / "personal" / "ada.vcf",
        "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:ada\r\nFN:Ada Lovelace\r\nN:Lovelace;Ada;;;\r\n"
        "TEL;TYPE=CELL:(555) 010-0123\r\nEMAIL:Ada@Example.com\r\nEND:VCARD\r\n");
    test::writeFileCreatingFolders(
        folder() / "personal" / "firm.VCF",
        "BEGIN:VCARD\nVERSION:4.0\nUID:urn:uuid:firm\nORG:Stone & Co;Sales\n"
        "TEL;VALUE=uri:tel:+44-20-7946-0000\nEND:VCARD\n");
    // Two cards without UIDs in one file: known by the file's place in the folder.
    test::writeFileCreatingFolders(
        folder() / "work" / "team.vcf",
        "BEGIN:VCARD\nVERSION:3.0\nN:Hopper;Grace;;;\nEMAIL:grace@example.com\nEND:VCARD\n"
        "BEGIN:VCARD\nVERSION:3.0\nEMAIL:  \nTEL:212 555 0100\nEND:VCARD\n");
    // The same person in a second collection is one contact.
    test::writeFileCreatingFolders(folder() / "work" / "ada-work.vcf",
                                   "BEGIN:VCARD\nVERSION:3.0\nUID:ada\nFN:Ada L.\nTITLE:Countess\n"
                                   "EMAIL:ada@engines.example\nTEL:+1 555 010 0123\nEND:VCARD\n");
    test::writeFileCreatingFolders(folder() / "work" / ".ada.vcf.tmp-1",
                                   "BEGIN:VCARD\nUID:half\nEND:VCARD\n");
    test::writeFileCreatingFolders(folder() / ".sync-state" / "x.vcf",
                                   "BEGIN:VCARD\nUID:state\nEND:VCARD\n");
    test::writeFileCreatingFolders(folder() / "work" / "notes.txt",
                                   "BEGIN:VCARD\nUID:text\nEND:VCARD\n");

    auto store = makeStore();
    ContactsManager manager(store, clock_);
    ContactsStore database(dir_ / "contacts.db");
    database.createSchemaIfNeeded();
    database.replaceAll(manager.buildPayloads("1"));

    auto db = SQLiteConnection::open(dir_ / "contacts.db", SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement rows(
        db.get(),
        "SELECT c.apple_id, c.display_name, coalesce(c.job_title, ''), "
        "coalesce(group_concat(i.type || ':' || i.value, ' '), '') FROM contacts c "
        "LEFT JOIN (SELECT * FROM contact_identifiers ORDER BY type, value) i "
        "ON i.contact_id = c.id GROUP BY c.id");
    std::map<std::string, std::vector<std::string>> stored;
    while (rows.step()) {
        stored[rows.columnText(0)] = {rows.columnText(1), rows.columnText(2), rows.columnText(3)};
    }
    const std::map<std::string, std::vector<std::string>> expected = {
        {"ada",
         {"Ada Lovelace", "Countess",
          "email:ada@engines.example email:ada@example.com phone:+15550100123"}},
        {"urn:uuid:firm", {"Stone & Co", "", "phone:+442079460000"}},
        {"work/team.vcf", {"Grace Hopper", "", "email:grace@example.com"}},
        {"work/team.vcf#1", {"212 555 0100", "", "phone:+12125550100"}},
    };
    EXPECT_EQ(stored, expected);
}

TEST_F(VCardContactStoreTest, AccessFollowsThePersistedGrant) {
    struct Case {
        std::optional<nlohmann::json> grant;
        Status status;
        bool granted;
        std::optional<std::string> grantAfter;
    };
    const std::vector<Case> cases = {
        {std::nullopt, Status::notDetermined, true, "authorized"},
        {"authorized", Status::authorized, true, "authorized"},
        {"denied", Status::denied, false, "denied"},
        {"maybe", Status::denied, false, "maybe"},
        {3, Status::denied, false, std::nullopt},
    };
    auto store = makeStore();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.grant.value_or("(absent)").dump());
        defaults_.remove(VCardContactStore::accessGrantKey);
        if (c.grant) {
            defaults_.set(VCardContactStore::accessGrantKey, *c.grant);
        }
        EXPECT_EQ(store->authorizationStatus(), c.status);
        ContactsManager manager(store, clock_);
        EXPECT_EQ(manager.requestAccessIfNeeded(), c.granted);
        EXPECT_EQ(defaults_.stringValue(VCardContactStore::accessGrantKey).optional(),
                  c.grantAfter);
    }
}

// A folder that is not there, or cannot be listed, fails the enumeration with its own case: read
// as an empty address book it would empty the contacts database and pass for a good sync.
TEST_F(VCardContactStoreTest, AMissingOrUnreadableFolderFailsTheEnumeration) {
    using Case = SystemContactStoreError::Case;
    struct Step {
        const char* name;
        std::function<void()> make;
        std::optional<Case> failure;
    };
    const Step steps[] = {
        {"missing", [] {}, Case::folderMissing},
        {"a file in its place", [this] { writeFileAtomically(folder(), "not a folder"); },
         Case::folderUnreadable},
        {"an empty folder",
         [this] {
             std::filesystem::remove(folder());
             std::filesystem::create_directory(folder());
         },
         std::nullopt},
    };
    auto store = makeStore();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.make();
        try {
            EXPECT_TRUE(store->enumerateContacts({}).empty());
            EXPECT_FALSE(step.failure) << "no failure";
        } catch (const SystemContactStoreError& error) {
            EXPECT_EQ(std::optional(error.kind()), step.failure);
            EXPECT_THAT(error.what(), ::testing::HasSubstr(folder().string()));
        }
    }
}

TEST_F(VCardContactStoreTest, AFileWithoutReadableCardsFailsTheEnumeration) {
    struct Case {
        const char* name;
        std::string contents;
        bool fails;
    };
    const std::vector<Case> cases = {
        {"empty file", "", false},
        {"blank lines", "\n\r\n  \n", false},
        {"marked UTF-8",
         "\xEF\xBB\xBF"
         "BEGIN:VCARD\nUID:b\nEND:VCARD\n",
         false},
        {"not a card at all", "hello there\n", true},
        {"only empty cards", "BEGIN:VCARD\nVERSION:3.0\nEND:VCARD\nBEGIN:VCARD\nEND:VCARD\n",
         false},
        {"UTF-16 that does not convert", "\xFF\xFE\x00\xD8", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFileCreatingFolders(folder() / "kept.vcf", "BEGIN:VCARD\nUID:kept\nEND:VCARD\n");
        test::writeFileCreatingFolders(folder() / "other.vcf", c.contents);
        auto store = makeStore();
        if (c.fails) {
            EXPECT_THROW(store->enumerateContacts({}), SystemContactStoreError);
        } else {
            EXPECT_NO_THROW(store->enumerateContacts({}));
        }
    }
}

TEST_F(VCardContactStoreTest, AFileLargerThanTheCapIsPassedOver) {
    test::writeFileCreatingFolders(folder() / "small.vcf", "BEGIN:VCARD\nUID:small\nEND:VCARD\n");
    test::writeFileCreatingFolders(
        folder() / "large.vcf",
        "BEGIN:VCARD\nUID:large\nNOTE:" + std::string(4096, 'n') + "\nEND:VCARD\n");
    VCardContactStore store(folder(), defaults_, clock_, FolderWatcher::defaultLatency, 2048);
    const auto contacts = store.enumerateContacts({{ContactKey::identifier}});
    ASSERT_EQ(contacts.size(), 1U);
    EXPECT_EQ(contacts[0].identifier, "small");
}

TEST_F(VCardContactStoreTest, CardsWithoutUidAreKnownByTheirFileNameAsText) {
    test::writeFileCreatingFolders(folder() / "caf\xE9.vcf", "BEGIN:VCARD\nFN:Ana\nEND:VCARD\n");
    ContactFetchRequest request;
    request.keysToFetch = {ContactKey::identifier};
    const auto contacts = makeStore()->enumerateContacts(request);
    ASSERT_EQ(contacts.size(), 1U);
    EXPECT_EQ(contacts[0].identifier, "caf\xEF\xBF\xBD.vcf");
}

TEST_F(VCardContactStoreTest, OneChangeRaisesOneNotification) {
    test::writeFileCreatingFolders(folder() / "ada.vcf", "BEGIN:VCARD\nUID:ada\nEND:VCARD\n");
    auto store = makeStore();

    moveIn(folder() / "ada.vcf", "BEGIN:VCARD\nUID:ada\nFN:Ada\nEND:VCARD\n");
    deliverAfter(*store, 1);
    ASSERT_TRUE(eventually([&] { return notifications_ == 1; }));
    EXPECT_EQ(clock_.pendingTasks(), 0u);

    // A burst (a sync tool writing several cards) is one notification.
    for (const auto* name : {"b.vcf", "c.vcf", "d.vcf"}) {
        moveIn(folder() / name, "BEGIN:VCARD\nEND:VCARD\n");
    }
    std::filesystem::remove(folder() / "ada.vcf");
    deliverAfter(*store, 5);
    ASSERT_TRUE(eventually([&] { return notifications_ == 2; }));
    EXPECT_EQ(clock_.pendingTasks(), 0u);
    EXPECT_EQ(notifications_, 2);
}

TEST_F(VCardContactStoreTest, CollectionsAndTheFolderItselfAreWatchedAsTheyAppear) {
    auto store = makeStore();  // the folder does not exist yet

    std::filesystem::create_directory(folder());
    deliverAfter(*store, 1);
    ASSERT_TRUE(eventually([&] { return notifications_ == 1; }));

    std::filesystem::create_directory(folder() / "work");
    deliverAfter(*store, 2);
    ASSERT_TRUE(eventually([&] { return notifications_ == 2; }));

    moveIn(folder() / "work" / "grace.vcf", "BEGIN:VCARD\nEND:VCARD\n");
    deliverAfter(*store, 3);
    ASSERT_TRUE(eventually([&] { return notifications_ == 3; }));
}

}  // namespace
}  // namespace vask
