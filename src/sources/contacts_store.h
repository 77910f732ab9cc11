#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"
#include "sources/contact_payload.h"
#include "store/sqlite_connection.h"

namespace vask {

class ContactsStoreError : public Error {
  public:
    enum class Case { failedToOpen, queryFailed, prepareFailed, insertFailed };

    ContactsStoreError(Case kind, std::string message);

    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }

    static std::string_view phrase(Case kind);

  private:
    Case kind_;
    std::string message_;
};

// The only writer of the contacts database. Shadow-database queries attach the same file
// read-only under the schema name "contacts", so the table and column names are a contract.
// One connection, used from one thread at a time (the contacts sync queue).
class ContactsStore {
  public:
    // Opens (creating) the file as a writer: WAL, synchronous NORMAL, foreign keys, 5000 ms busy
    // timeout. Throws ContactsStoreError (failedToOpen, queryFailed).
    explicit ContactsStore(std::filesystem::path path);

    ContactsStore(const ContactsStore&) = delete;
    ContactsStore& operator=(const ContactsStore&) = delete;
    ContactsStore(ContactsStore&&) noexcept = default;
    ContactsStore& operator=(ContactsStore&&) noexcept = default;

    const std::filesystem::path& databasePath() const { return path_; }

    void createSchemaIfNeeded();

    // Makes the stored address book equal to `contacts` in one transaction: all or nothing. A
    // contact keeps its row id while its apple id stays; a later payload with the same apple id
    // wins, and an identifier moves to the last contact in the list that holds it.
    void replaceAll(const std::vector<ContactPayload>& contacts);

    // Whether the database at `path` holds the result of a completed synchronisation (an
    // address book read, even an empty one), not merely the tables made when it was created.
    // False when there is no file. Reads without writing; throws ContactsStoreError
    // (failedToOpen, prepareFailed, queryFailed).
    static bool hasCompletedSync(const std::filesystem::path& path);

    // Later operations fail with queryFailed("database is closed").
    void close();

  private:
    void run(std::string_view sql) const;
    void writeAll(const std::vector<ContactPayload>& contacts) const;

    SQLiteConnection db_;
    std::filesystem::path path_;
};

}  // namespace vask
