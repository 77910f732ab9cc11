#include "sources/contacts_store.h"

#include <array>
#include <optional>

#include "platform/owner_only_file.h"
#include "store/sqlite_statement.h"

namespace vask {
namespace {

constexpr std::array<std::string_view, 10> schema = {
    "CREATE TABLE IF NOT EXISTS contacts (\n"
    "    id INTEGER PRIMARY KEY,\n"
    "    apple_id TEXT UNIQUE,\n"
    "    display_name TEXT NOT NULL,\n"
    "    given_name TEXT,\n"
    "    family_name TEXT,\n"
    "    organization TEXT,\n"
    "    job_title TEXT,\n"
    "    notes TEXT,\n"
    "    updated_at INTEGER NOT NULL\n"
    ")",
    "CREATE TABLE IF NOT EXISTS contact_identifiers (\n"
    "    contact_id INTEGER REFERENCES contacts(id) ON DELETE CASCADE,\n"
    "    type TEXT NOT NULL,\n"
    "    value TEXT NOT NULL,\n"
    "    PRIMARY KEY (type, value)\n"
    ")",
    "CREATE VIRTUAL TABLE IF NOT EXISTS contacts_fts USING fts5(\n"
    "    display_name, organization, notes,\n"
    "    content='contacts',\n"
    "    content_rowid='id'\n"
    ")",
    "CREATE TRIGGER IF NOT EXISTS contacts_fts_insert AFTER INSERT ON contacts BEGIN\n"
    "    INSERT INTO contacts_fts(rowid, display_name, organization, notes)\n"
    "    VALUES (new.id, new.display_name, new.organization, new.notes);\n"
    "END",
    "CREATE TRIGGER IF NOT EXISTS contacts_fts_delete AFTER DELETE ON contacts BEGIN\n"
    "    INSERT INTO contacts_fts(contacts_fts, rowid, display_name, organization, notes)\n"
    "    VALUES ('delete', old.id, old.display_name, old.organization, old.notes);\n"
    "END",
    "CREATE TRIGGER IF NOT EXISTS contacts_fts_update AFTER UPDATE ON contacts BEGIN\n"
    "    INSERT INTO contacts_fts(contacts_fts, rowid, display_name, organization, notes)\n"
    "    VALUES ('delete', old.id, old.display_name, old.organization, old.notes);\n"
    "    INSERT INTO contacts_fts(rowid, display_name, organization, notes)\n"
    "    VALUES (new.id, new.display_name, new.organization, new.notes);\n"
    "END",
    "CREATE INDEX IF NOT EXISTS idx_contact_identifiers_contact ON contact_identifiers(contact_id)",
    "CREATE INDEX IF NOT EXISTS idx_contacts_display_name ON contacts(display_name)",
    // The shadow database's queries look senders up by value alone (the key is type, value).
    "CREATE INDEX IF NOT EXISTS idx_contact_identifiers_value ON contact_identifiers(value)",
    // One row once a synchronisation has completed: the file and its tables exist from the
    // store's creation on, and an empty address book looks the same as one never read.
    "CREATE TABLE IF NOT EXISTS contacts_sync_state (\n"
    "    id INTEGER PRIMARY KEY CHECK (id = 1),\n"
    "    completed_at INTEGER NOT NULL\n"
    ")",
};

using Case = ContactsStoreError::Case;

SQLiteStatement prepare(sqlite3* db, std::string_view sql) {
    if (db == nullptr) {
        throw ContactsStoreError(Case::prepareFailed, "Unknown error");
    }
    try {
        return SQLiteStatement(db, sql);
    } catch (const SQLiteSupport::Failure& failure) {
        throw ContactsStoreError(Case::prepareFailed, failure.message());
    }
}

// Binding and stepping: any failure (including a busy, I/O or corrupt result in the middle of a
// step) is a query failure, never a quiet "no row".
template <typename Action>
auto querying(Action&& action) {
    try {
        return action();
    } catch (const SQLiteSupport::Failure& failure) {
        throw ContactsStoreError(Case::queryFailed, failure.message());
    }
}

bool hasTable(sqlite3* db, std::string_view name) {
    auto statement =
        prepare(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ? LIMIT 1");
    return querying([&] {
        statement.bind(1, name);
        return statement.step();
    });
}

bool hasRow(sqlite3* db, std::string_view table) {
    auto statement = prepare(db, "SELECT 1 FROM " + std::string(table) + " LIMIT 1");
    return querying([&] { return statement.step(); });
}

}  // namespace

ContactsStoreError::ContactsStoreError(Case kind, std::string message)
    : Error(std::string(phrase(kind)) + message), kind_(kind), message_(std::move(message)) {}

std::string_view ContactsStoreError::phrase(Case kind) {
    switch (kind) {
        case Case::failedToOpen:
            return "Failed to open contacts database: ";
        case Case::queryFailed:
            return "Contacts query failed: ";
        case Case::prepareFailed:
            return "Contacts statement preparation failed: ";
        case Case::insertFailed:
            return "Contacts insert failed: ";
    }
    return "Contacts query failed: ";
}

ContactsStore::ContactsStore(std::filesystem::path path) : path_(std::move(path)) {
    try {
        // Names and numbers: private from the file's creation on.
        prepareOwnerOnlyDatabase(path_);
    } catch (const std::filesystem::filesystem_error& error) {
        throw ContactsStoreError(Case::failedToOpen, error.what());
    }
    try {
        db_ = SQLiteConnection::open(path_, SQLiteSupport::OpenMode::readWriteCreate);
    } catch (const SQLiteSupport::Failure& failure) {
        throw ContactsStoreError(Case::failedToOpen, failure.message());
    }
    try {
        SQLiteSupport::configureWriter(db_.get(), SQLiteSupport::SynchronousMode::normal, false);
        // Without it, the rows that INSERT OR REPLACE removes would skip their delete triggers.
        db_.execute("PRAGMA recursive_triggers = ON");
    } catch (const SQLiteSupport::Failure& failure) {
        db_ = SQLiteConnection();
        throw ContactsStoreError(Case::queryFailed, failure.message());
    }
    // Readers attach this file as soon as it exists, often before the first synchronisation:
    // it must never exist without its tables.
    createSchemaIfNeeded();
}

void ContactsStore::run(std::string_view sql) const {
    if (!db_) {
        throw ContactsStoreError(Case::queryFailed, "database is closed");
    }
    querying([&] { db_.execute(sql); });
}

void ContactsStore::createSchemaIfNeeded() {
    for (const auto sql : schema) {
        run(sql);
    }
}

bool ContactsStore::hasCompletedSync(const std::filesystem::path& path) {
    std::error_code missing;
    if (!std::filesystem::is_regular_file(path, missing)) {
        return false;
    }
    SQLiteConnection db;
    try {
        db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readOnly);
    } catch (const SQLiteSupport::Failure& failure) {
        throw ContactsStoreError(Case::failedToOpen, failure.message());
    }
    if (hasTable(db.get(), "contacts_sync_state") && hasRow(db.get(), "contacts_sync_state")) {
        return true;
    }
    // Files written before the marker existed: rows only ever come from a completed one.
    return hasTable(db.get(), "contacts") && hasRow(db.get(), "contacts");
}

void ContactsStore::close() {
    db_ = SQLiteConnection();
}

void ContactsStore::replaceAll(const std::vector<ContactPayload>& contacts) {
    run("BEGIN IMMEDIATE");
    try {
        writeAll(contacts);
        run("COMMIT");
    } catch (...) {
        // The original failure is what the caller needs; a rollback after SQLite already rolled
        // back fails harmlessly.
        if (db_) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
        throw;
    }
}

void ContactsStore::writeAll(const std::vector<ContactPayload>& contacts) const {
    run("CREATE TEMP TABLE IF NOT EXISTS contacts_seen (apple_id TEXT PRIMARY KEY)");
    run("DELETE FROM contacts_seen");
    {
        sqlite3* db = db_.get();
        auto insertContact = prepare(
            db,
            "INSERT OR IGNORE INTO contacts (apple_id, display_name, given_name, family_name, "
            "organization, job_title, notes, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        auto updateContact = prepare(
            db,
            "UPDATE contacts SET display_name = ?, given_name = ?, family_name = ?, "
            "organization = ?, job_title = ?, notes = ?, updated_at = ? WHERE apple_id = ?");
        auto selectID = prepare(db, "SELECT id FROM contacts WHERE apple_id = ? LIMIT 1");
        auto deleteIdentifiers =
            prepare(db, "DELETE FROM contact_identifiers WHERE contact_id = ?");
        auto insertIdentifier = prepare(db,
                                        "INSERT OR REPLACE INTO contact_identifiers (contact_id, "
                                        "type, value) VALUES (?, ?, ?)");
        auto markSeen = prepare(db, "INSERT OR REPLACE INTO contacts_seen (apple_id) VALUES (?)");

        for (const auto& contact : contacts) {
            querying([&] {
                insertContact.reset();
                insertContact.bind(1, std::string_view(contact.appleID))
                    .bind(2, std::string_view(contact.displayName))
                    .bind(3, contact.givenName)
                    .bind(4, contact.familyName)
                    .bind(5, contact.organization)
                    .bind(6, contact.jobTitle)
                    .bind(7, contact.notes)
                    .bind(8, contact.updatedAt)
                    .run();

                updateContact.reset();
                updateContact.bind(1, std::string_view(contact.displayName))
                    .bind(2, contact.givenName)
                    .bind(3, contact.familyName)
                    .bind(4, contact.organization)
                    .bind(5, contact.jobTitle)
                    .bind(6, contact.notes)
                    .bind(7, contact.updatedAt)
                    .bind(8, std::string_view(contact.appleID))
                    .run();
            });

            const std::optional<std::int64_t> id = querying([&]() -> std::optional<std::int64_t> {
                selectID.reset();
                selectID.bind(1, std::string_view(contact.appleID));
                if (!selectID.step()) {
                    return std::nullopt;
                }
                return selectID.columnInt64(0);
            });
            if (!id) {
                throw ContactsStoreError(Case::insertFailed,
                                         "Missing contact row for apple_id " + contact.appleID);
            }

            querying([&] {
                deleteIdentifiers.reset();
                deleteIdentifiers.bind(1, *id).run();
                for (const auto& identifier : contact.identifiers) {
                    insertIdentifier.reset();
                    insertIdentifier.bind(1, *id)
                        .bind(2, rawValue(identifier.type))
                        .bind(3, std::string_view(identifier.value))
                        .run();
                }
                markSeen.reset();
                markSeen.bind(1, std::string_view(contact.appleID)).run();
            });
        }
    }
    run("DELETE FROM contacts WHERE apple_id NOT IN (SELECT apple_id FROM contacts_seen)");
    run("DELETE FROM contact_identifiers WHERE contact_id NOT IN (SELECT id FROM contacts)");
    run("DROP TABLE IF EXISTS contacts_seen");
    run("INSERT OR REPLACE INTO contacts_sync_state (id, completed_at) "
        "VALUES (1, CAST(strftime('%s', 'now') AS INTEGER))");
}

}  // namespace vask
