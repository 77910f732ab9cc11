#include "sources/contacts_store.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>

#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/scoped_umask.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Type = ContactIdentifierType;

ContactPayload contact(std::string appleID, std::string name,
                       std::vector<ContactIdentifier> identifiers = {},
                       std::optional<std::string> organization = std::nullopt) {
    ContactPayload payload;
    payload.appleID = std::move(appleID);
    payload.displayName = std::move(name);
    payload.organization = std::move(organization);
    payload.updatedAt = 1'700'000'000;
    payload.identifiers = std::move(identifiers);
    return payload;
}

ContactIdentifier phone(std::string value) {
    return {Type::phone, std::move(value)};
}

struct StoredRow {
    std::int64_t id;
    std::string displayName;
    std::optional<std::string> organization;
    bool operator==(const StoredRow&) const = default;
};

// What a reader in another connection sees: rows by apple id, identifiers to the apple id of
// their owner, and whether the full-text index agrees with the table.
struct Snapshot {
    std::map<std::string, StoredRow> rows;
    std::map<std::string, std::string> owners;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const std::filesystem::path& path) {
    auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
    Snapshot result;
    SQLiteStatement rows(db.get(), "SELECT apple_id, id, display_name, organization FROM contacts");
    while (rows.step()) {
        result.rows[rows.columnText(0)] =
            StoredRow{rows.columnInt64(1), rows.columnText(2), rows.columnOptionalText(3)};
    }
    SQLiteStatement owners(db.get(),
                           "SELECT i.type || ':' || i.value, c.apple_id FROM contact_identifiers i "
                           "LEFT JOIN contacts c ON c.id = i.contact_id");
    while (owners.step()) {
        result.owners[owners.columnText(0)] = owners.columnText(1);
    }
    db.execute("INSERT INTO contacts_fts(contacts_fts, rank) VALUES('integrity-check', 1)");
    return result;
}

std::vector<std::string> fullTextMatches(const std::filesystem::path& path, std::string query) {
    auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement match(db.get(),
                          "SELECT c.apple_id FROM contacts_fts f JOIN contacts c ON c.id = f.rowid "
                          "WHERE contacts_fts MATCH ? ORDER BY c.apple_id");
    match.bind(1, std::string_view(query));
    std::vector<std::string> ids;
    while (match.step()) {
        ids.push_back(match.columnText(0));
    }
    return ids;
}

class ContactsStoreTest : public ::testing::Test {
  protected:
    std::filesystem::path path() const { return dir_ / "contacts.db"; }
    ContactsStore open() {
        ContactsStore store(path());
        store.createSchemaIfNeeded();
        return store;
    }

    test::TempDir dir_;
};

TEST_F(ContactsStoreTest, SecondRunMakesTheStoreEqualToItsList) {
    struct Case {
        const char* name;
        std::vector<ContactPayload> second;
        std::map<std::string, std::string> names;   // apple id -> display name
        std::map<std::string, std::string> owners;  // identifier -> apple id
        std::vector<std::string> matchesAda;
    };
    const std::vector<ContactPayload> first = {
        contact("a", "Ada Lovelace", {phone("+15550100001"), {Type::email, "ada@example.com"}}),
        contact("b", "Bob Stone", {phone("+15550100002")}, "Analytical Engines"),
    };
    const std::vector<Case> cases = {
        {"same list again",
         first,
         {{"a", "Ada Lovelace"}, {"b", "Bob Stone"}},
         {{"phone:+15550100001", "a"}, {"email:ada@example.com", "a"}, {"phone:+15550100002", "b"}},
         {"a"}},
        {"contact removed", {first[1]}, {{"b", "Bob Stone"}}, {{"phone:+15550100002", "b"}}, {}},
        {"empty list", {}, {}, {}, {}},
        {"identifier moves to the later contact",
         {contact("a", "Ada Lovelace", {phone("+15550100002")}),
          contact("b", "Bob Stone", {phone("+15550100002")})},
         {{"a", "Ada Lovelace"}, {"b", "Bob Stone"}},
         {{"phone:+15550100002", "b"}},
         {"a"}},
        {"same apple id twice keeps the later payload",
         {contact("a", "Ada Lovelace", {phone("+15550100001")}),
          contact("a", "Ada King", {phone("+15550100009")}), first[1]},
         {{"a", "Ada King"}, {"b", "Bob Stone"}},
         {{"phone:+15550100009", "a"}, {"phone:+15550100002", "b"}},
         {"a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(path());
        auto store = open();
        store.replaceAll(first);
        const auto before = snapshot(path());
        store.replaceAll(c.second);
        const auto after = snapshot(path());

        std::map<std::string, std::string> names;
        for (const auto& [appleID, row] : after.rows) {
            names[appleID] = row.displayName;
            // A contact that stays keeps its row id, which identifiers and citations point to.
            EXPECT_EQ(row.id, before.rows.at(appleID).id) << appleID;
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(after.owners, c.owners);
        EXPECT_EQ(fullTextMatches(path(), "ada"), c.matchesAda);
        store.close();
    }
}

TEST_F(ContactsStoreTest, FailureInTheMiddleLeavesTheStoreAsItWas) {
    {
        auto store = open();
        store.replaceAll({contact("a", "Ada", {phone("+15550100001")}),
                          contact("b", "Bob", {phone("+15550100002")})});
    }
    // Stands in for any failure of a statement in the middle of the list (busy, I/O, full disk).
    {
        auto db = SQLiteConnection::open(path(), SQLiteSupport::OpenMode::readWriteCreate);
        db.execute(
            "CREATE TRIGGER refuse BEFORE INSERT ON contact_identifiers WHEN NEW.value = 'boom' "
            "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    }
    const auto before = snapshot(path());
    auto store = open();
    try {
        store.replaceAll({contact("a", "Ada Changed", {phone("+15550100003")}),
                          contact("c", "Cy", {phone("boom")}), contact("d", "Di")});
        FAIL() << "replaceAll succeeded";
    } catch (const ContactsStoreError& error) {
        EXPECT_EQ(error.kind(), ContactsStoreError::Case::queryFailed);
        EXPECT_EQ(std::string(error.what()), "Contacts query failed: refused by test");
    }
    EXPECT_EQ(snapshot(path()), before);
    // The connection is usable again: the failed run left no transaction open.
    store.replaceAll({contact("a", "Ada")});
    EXPECT_EQ(snapshot(path()).rows.size(), 1u);
}

// Readers attach the file as soon as it exists, tables and all: only a completed
// synchronisation, even of an empty address book, makes it a copy of the address book. A
// failed one leaves it as it was.
TEST_F(ContactsStoreTest, TellsACompletedSynchronisationFromACreatedFile) {
    EXPECT_FALSE(ContactsStore::hasCompletedSync(path()));
    auto store = open();
    EXPECT_FALSE(ContactsStore::hasCompletedSync(path()));
    {
        auto db = SQLiteConnection::open(path(), SQLiteSupport::OpenMode::readWriteCreate);
        db.execute(
            "CREATE TRIGGER refuse BEFORE INSERT ON contacts "
            "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    }
    EXPECT_THROW(store.replaceAll({contact("a", "Ada")}), ContactsStoreError);
    EXPECT_FALSE(ContactsStore::hasCompletedSync(path()));
    store.replaceAll({});
    EXPECT_TRUE(ContactsStore::hasCompletedSync(path()));
    store.close();

    // A file written before the marker: its rows came from a completed synchronisation.
    std::filesystem::remove(path());
    open().replaceAll({contact("a", "Ada")});
    {
        auto db = SQLiteConnection::open(path(), SQLiteSupport::OpenMode::readWriteCreate);
        db.execute("DROP TABLE contacts_sync_state");
    }
    EXPECT_TRUE(ContactsStore::hasCompletedSync(path()));
}

TEST_F(ContactsStoreTest, FailuresCarryTheirKindAndText) {
    struct Case {
        const char* name;
        std::function<void()> action;
        ContactsStoreError::Case kind;
        std::string what;
    };
    const std::vector<Case> cases = {
        {"folder does not exist", [&] { ContactsStore store(dir_ / "missing" / "contacts.db"); },
         ContactsStoreError::Case::failedToOpen,
         "Failed to open contacts database: filesystem error: could not open a private file: No "
         "such file or directory [" +
             (dir_ / "missing" / "contacts.db").string() + "]"},
        {"replace after close",
         [&] {
             auto store = open();
             store.close();
             store.replaceAll({contact("a", "Ada")});
         },
         ContactsStoreError::Case::queryFailed, "Contacts query failed: database is closed"},
        {"schema after close",
         [&] {
             auto store = open();
             store.close();
             store.createSchemaIfNeeded();
         },
         ContactsStoreError::Case::queryFailed, "Contacts query failed: database is closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.action();
            ADD_FAILURE() << "no error";
        } catch (const ContactsStoreError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_EQ(std::string(error.what()), c.what);
        }
    }
}

// Names and numbers are private from the file's creation, whatever the umask; a linked path is
// refused rather than written through.
TEST(ContactsStoreFile, IsOwnerOnlyFromItsCreationAndNeverALink) {
    const test::PermissiveUmask permissive;
    test::TempDir dir;
    const auto path = dir / "contacts.db";
    ContactsStore{path};
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ::chmod(path.c_str(), 0644);
    ContactsStore{path};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "a file an older build left open is narrowed";

    const auto target = dir / "unrelated";
    std::ofstream(target) << "unrelated";
    ::chmod(target.c_str(), 0644);
    const auto linked = dir / "linked.db";
    std::filesystem::create_symlink(target, linked);
    try {
        ContactsStore store(linked);
        ADD_FAILURE() << "a linked database was opened";
    } catch (const ContactsStoreError& error) {
        EXPECT_EQ(error.kind(), ContactsStoreError::Case::failedToOpen);
        EXPECT_NE(error.message().find(linked.string()), std::string::npos) << error.message();
    }
    EXPECT_TRUE(std::filesystem::is_symlink(linked));
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace vask
