#include "memory/memory_store.h"

#include <limits>
#include <optional>

#include "memory/memory_schema.h"
#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "platform/owner_only_file.h"
#include "platform/text.h"
#include "store/sqlite_statement.h"

namespace vask {
namespace {

using Case = MemoryStoreError::Case;

constexpr std::string_view returningColumns =
    "RETURNING id, principal, term, definition, provenance, state, created_at, updated_at";

const std::string insertSQL =
    "INSERT INTO associations(\n"
    "    id, principal, term, definition, provenance, state, created_at, updated_at\n"
    ") VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
const std::string activeListSQL =
    "SELECT id, principal, term, definition, provenance, state, created_at, updated_at\n"
    "FROM associations\n"
    "WHERE principal = ? AND state = 'active'\n"
    "ORDER BY created_at, id";
const std::string updateSQL =
    "UPDATE associations\n"
    "SET term = ?, definition = ?, provenance = 'explicit', updated_at = ?\n"
    "WHERE id = ? AND principal = ? AND state = 'active'\n" +
    std::string(returningColumns);
const std::string tombstoneSQL =
    "UPDATE associations\n"
    "SET state = 'tombstoned', updated_at = ?\n"
    "WHERE id = ? AND principal = ? AND state = 'active'\n" +
    std::string(returningColumns);
const std::string undoSQL =
    "UPDATE associations\n"
    "SET state = 'tombstoned', updated_at = ?\n"
    "WHERE id = ?\n"
    "  AND principal = ?\n"
    "  AND state = 'active'\n"
    "  AND provenance = 'inferred'\n"
    "  AND term = ?\n"
    "  AND definition = ?\n"
    "  AND updated_at = ?\n" +
    std::string(returningColumns);
const std::string tombstoneAllSQL =
    "UPDATE associations\n"
    "SET state = 'tombstoned', updated_at = ?\n"
    "WHERE principal = ? AND state = 'active'";

MemoryStoreError migrationFailed(std::string message) {
    return MemoryStoreError::withMessage(Case::migrationFailed, std::move(message));
}

std::int32_t checkedSchemaVersion(sqlite3* db) {
    std::int32_t version = 0;
    try {
        version = SQLiteSupport::userVersion(db);
    } catch (const SQLiteSupport::Failure& failure) {
        throw migrationFailed("schema probe: " + failure.message());
    }
    if (version > memory_schema::currentVersion) {
        throw MemoryStoreError::unsupportedSchemaVersion(version);
    }
    return version;
}

void configure(sqlite3* db, std::chrono::milliseconds retryWindow) {
    try {
        SQLiteSupport::configureWriterRetrying(db, SQLiteSupport::SynchronousMode::full, true,
                                               retryWindow);
    } catch (const SQLiteSupport::Failure& failure) {
        throw migrationFailed("configuration: " + failure.message());
    }
}

void executeMigrationSQL(std::string_view sql, sqlite3* db) {
    try {
        SQLiteSupport::execute(sql, db);
    } catch (const SQLiteSupport::Failure& failure) {
        throw migrationFailed("migration statement: " + failure.message());
    }
}

void applyMigration(std::int32_t version, sqlite3* db) {
    const auto statements = memory_schema::migrationStatements(version);
    if (statements.empty()) {
        throw migrationFailed("missing migration");
    }
    for (const auto statement : statements) {
        executeMigrationSQL(statement, db);
    }
}

void migrate(const SQLiteConnection& connection) {
    sqlite3* db = connection.get();
    if (checkedSchemaVersion(db) == memory_schema::currentVersion) {
        return;
    }
    try {
        connection.inImmediateTransaction([&] {
            // Read again under the write lock: another process may have migrated meanwhile.
            const std::int32_t from = checkedSchemaVersion(db);
            for (std::int32_t version = from + 1; version <= memory_schema::currentVersion;
                 ++version) {
                applyMigration(version, db);
                try {
                    SQLiteSupport::setUserVersion(version, db);
                } catch (const SQLiteSupport::Failure& failure) {
                    throw migrationFailed(failure.message());
                }
            }
        });
    } catch (const SQLiteSupport::Failure& failure) {
        // Only BEGIN and COMMIT fail unmapped.
        throw migrationFailed("migration statement: " + failure.message());
    }
}

// Serialises opening across processes and store objects: held from before the file is opened
// until the store is complete or its construction failed. The lock file stays on disk.
FileLock initializationLock(const std::filesystem::path& databaseURL) {
    auto lockPath = databaseURL;
    lockPath += ".lock";
    try {
        return FileLock::acquire(lockPath);
    } catch (const FileError& error) {
        throw MemoryStoreError::initializationLockFailed(error.errorNumber());
    }
}

SQLiteConnection openConnection(const std::filesystem::path& databaseURL,
                                std::chrono::milliseconds retryWindow) {
    std::filesystem::create_directories(databaseURL.parent_path());
    const auto lock = initializationLock(databaseURL);
    try {
        prepareOwnerOnlyDatabase(databaseURL);
    } catch (const std::filesystem::filesystem_error& error) {
        throw MemoryStoreError::withMessage(Case::openFailed, error.what());
    }
    SQLiteConnection connection;
    try {
        connection =
            SQLiteConnection::open(databaseURL, SQLiteSupport::OpenMode::readWriteCreate, true);
    } catch (const SQLiteSupport::Failure& failure) {
        throw MemoryStoreError::withMessage(Case::openFailed, failure.message());
    }
    // A newer file is refused before anything is written to it, its journal mode included.
    checkedSchemaVersion(connection.get());
    configure(connection.get(), retryWindow);
    migrate(connection);
    return connection;
}

SQLiteStatement prepare(sqlite3* db, std::string_view sql) {
    try {
        return SQLiteStatement(db, sql);
    } catch (const SQLiteSupport::Failure& failure) {
        throw MemoryStoreError::withMessage(Case::prepareFailed, failure.message());
    }
}

void bindValue(SQLiteStatement& statement, int index, std::string_view text) {
    if (text.size() + 1 > std::size_t{2147483648}) {
        throw MemoryStoreError::withMessage(Case::bindFailed, "text value exceeds SQLite limit");
    }
    try {
        statement.bind(index, text);
    } catch (const SQLiteSupport::Failure& failure) {
        throw MemoryStoreError::withMessage(Case::bindFailed, failure.message());
    }
}

void bindValue(SQLiteStatement& statement, int index, std::int64_t value) {
    try {
        statement.bind(index, value);
    } catch (const SQLiteSupport::Failure& failure) {
        throw MemoryStoreError::withMessage(Case::bindFailed, failure.message());
    }
}

std::optional<std::string> validText(const SQLiteStatement& statement, int column) {
    if (statement.columnIsNull(column)) {
        return std::nullopt;
    }
    return text::toValidUtf8(statement.columnText(column));
}

MemoryAssociation decodeAssociation(const SQLiteStatement& statement) {
    const auto invalid = [] { return MemoryStoreError::plain(Case::invalidStoredAssociation); };
    std::optional<std::string> columns[6];
    for (int column = 0; column < 6; ++column) {
        columns[column] = validText(statement, column);
        if (!columns[column]) {
            throw invalid();
        }
    }
    const auto id = Uuid::parse(*columns[0]);
    auto principal = MemoryPrincipal::make(*columns[1]);
    const auto provenance = memoryProvenance(*columns[4]);
    const auto state = memoryAssociationState(*columns[5]);
    if (!id || !principal || !provenance || !state) {
        throw invalid();
    }
    return MemoryAssociation{*id,
                             std::move(*principal),
                             std::move(*columns[2]),
                             std::move(*columns[3]),
                             *provenance,
                             *state,
                             statement.columnInt64(6),
                             statement.columnInt64(7)};
}

std::vector<MemoryAssociation> readAssociations(SQLiteStatement& statement) {
    std::vector<MemoryAssociation> rows;
    try {
        while (statement.step()) {
            rows.push_back(decodeAssociation(statement));
        }
    } catch (const SQLiteSupport::Failure& failure) {
        throw MemoryStoreError::withMessage(Case::readFailed, failure.message());
    }
    return rows;
}

void runWrite(SQLiteStatement& statement) {
    try {
        statement.run();
    } catch (const SQLiteSupport::Failure& failure) {
        throw MemoryStoreError::withMessage(Case::writeFailed, failure.message());
    }
}

}  // namespace

MemoryStore::MemoryStore(const std::filesystem::path& databaseURL,
                         std::shared_ptr<MemoryStoreChanges> changes, const Clock& clock,
                         std::chrono::milliseconds configurationRetryWindow)
    : changes_(std::move(changes)),
      clock_(clock),
      connection_(openConnection(databaseURL, configurationRetryWindow)) {}

std::int64_t MemoryStore::milliseconds(Clock::WallTime time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::int64_t MemoryStore::now() const {
    return milliseconds(clock_.now());
}

void MemoryStore::authorize(const Authorizing& authorizing) const {
    if (!authorizing()) {
        throw MemoryStoreError::plain(Case::authorizationChanged);
    }
}

MemoryAssociation MemoryStore::insert(const MemoryAssociation& association) {
    auto statement = prepare(connection_.get(), insertSQL);
    bindValue(statement, 1, association.id.lowercaseString());
    bindValue(statement, 2, association.principal.rawValue());
    bindValue(statement, 3, association.term);
    bindValue(statement, 4, association.definition);
    bindValue(statement, 5, rawValue(association.provenance));
    bindValue(statement, 6, rawValue(association.state));
    bindValue(statement, 7, association.createdAt);
    bindValue(statement, 8, association.updatedAt);
    runWrite(statement);
    return association;
}

MemoryAssociation MemoryStore::createAssociation(const MemoryPrincipal& principal,
                                                 std::string_view term, std::string_view definition,
                                                 MemoryProvenance provenance, const Uuid& id,
                                                 std::int64_t timestamp) {
    std::lock_guard lock(mutex_);
    auto association =
        insert(MemoryAssociation{id, principal, std::string(term), std::string(definition),
                                 provenance, MemoryAssociationState::active, timestamp, timestamp});
    changes_->send(principal);
    return association;
}

std::vector<MemoryAssociation> MemoryStore::activeAssociations(const MemoryPrincipal& principal) {
    std::lock_guard lock(mutex_);
    auto statement = prepare(connection_.get(), activeListSQL);
    bindValue(statement, 1, principal.rawValue());
    return readAssociations(statement);
}

MemoryAssociation MemoryStore::updateRow(const Uuid& id, const MemoryPrincipal& principal,
                                         std::string_view term, std::string_view definition,
                                         std::int64_t timestamp) {
    auto statement = prepare(connection_.get(), updateSQL);
    bindValue(statement, 1, term);
    bindValue(statement, 2, definition);
    bindValue(statement, 3, timestamp);
    bindValue(statement, 4, id.lowercaseString());
    bindValue(statement, 5, principal.rawValue());
    auto rows = readAssociations(statement);
    if (rows.empty()) {
        throw MemoryStoreError::plain(Case::associationNotFound);
    }
    return std::move(rows.front());
}

MemoryAssociation MemoryStore::tombstoneRow(const Uuid& id, const MemoryPrincipal& principal,
                                            std::int64_t timestamp) {
    auto statement = prepare(connection_.get(), tombstoneSQL);
    bindValue(statement, 1, timestamp);
    bindValue(statement, 2, id.lowercaseString());
    bindValue(statement, 3, principal.rawValue());
    auto rows = readAssociations(statement);
    if (rows.empty()) {
        throw MemoryStoreError::plain(Case::associationNotFound);
    }
    return std::move(rows.front());
}

MemoryAssociation MemoryStore::updateAssociation(const Uuid& id, const MemoryPrincipal& principal,
                                                 std::string_view term, std::string_view definition,
                                                 std::int64_t timestamp) {
    std::lock_guard lock(mutex_);
    auto association = updateRow(id, principal, term, definition, timestamp);
    changes_->send(principal);
    return association;
}

MemoryAssociation MemoryStore::updateAssociation(const Uuid& id, const MemoryPrincipal& principal,
                                                 std::string_view term, std::string_view definition,
                                                 const Authorizing& authorizing) {
    std::lock_guard lock(mutex_);
    authorize(authorizing);
    auto association = updateRow(id, principal, term, definition, now());
    changes_->send(principal);
    return association;
}

MemoryAssociation MemoryStore::tombstoneAssociation(const Uuid& id,
                                                    const MemoryPrincipal& principal,
                                                    std::int64_t timestamp) {
    std::lock_guard lock(mutex_);
    auto association = tombstoneRow(id, principal, timestamp);
    changes_->send(principal);
    return association;
}

MemoryAssociation MemoryStore::tombstoneAssociation(const Uuid& id,
                                                    const MemoryPrincipal& principal,
                                                    const Authorizing& authorizing) {
    std::lock_guard lock(mutex_);
    authorize(authorizing);
    auto association = tombstoneRow(id, principal, now());
    changes_->send(principal);
    return association;
}

MemoryAssociation MemoryStore::undoInferredAssociation(
    const Uuid& id, const MemoryPrincipal& principal, std::string_view expectedTerm,
    std::string_view expectedDefinition, std::int64_t expectedUpdatedAt, std::int64_t timestamp,
    const Authorizing& authorizing) {
    std::lock_guard lock(mutex_);
    authorize(authorizing);
    auto statement = prepare(connection_.get(), undoSQL);
    bindValue(statement, 1, timestamp);
    bindValue(statement, 2, id.lowercaseString());
    bindValue(statement, 3, principal.rawValue());
    bindValue(statement, 4, expectedTerm);
    bindValue(statement, 5, expectedDefinition);
    bindValue(statement, 6, expectedUpdatedAt);
    auto rows = readAssociations(statement);
    if (rows.empty()) {
        throw MemoryStoreError::plain(Case::associationNotFound);
    }
    changes_->send(principal);
    return std::move(rows.front());
}

int MemoryStore::tombstoneAllRows(const MemoryPrincipal& principal, std::int64_t timestamp) {
    auto statement = prepare(connection_.get(), tombstoneAllSQL);
    bindValue(statement, 1, timestamp);
    bindValue(statement, 2, principal.rawValue());
    runWrite(statement);
    const int changed = sqlite3_changes(connection_.get());
    if (changed > 0) {
        changes_->send(principal);
    }
    return changed;
}

int MemoryStore::tombstoneAllAssociations(const MemoryPrincipal& principal,
                                          std::int64_t timestamp) {
    std::lock_guard lock(mutex_);
    return tombstoneAllRows(principal, timestamp);
}

int MemoryStore::tombstoneAllAssociations(const MemoryPrincipal& principal,
                                          const Authorizing& authorizing) {
    std::lock_guard lock(mutex_);
    authorize(authorizing);
    return tombstoneAllRows(principal, now());
}

std::vector<CommittedMemoryMutation> MemoryStore::applyBatch(
    const std::vector<MemoryMutation>& mutations, const MemoryPrincipal& principal,
    std::int64_t timestamp) {
    std::vector<CommittedMemoryMutation> committed;
    committed.reserve(mutations.size());
    try {
        connection_.inImmediateTransaction([&] {
            for (const auto& mutation : mutations) {
                const auto created = [&](const std::string& term, const std::string& definition,
                                         MemoryProvenance provenance) {
                    return insert(MemoryAssociation{Uuid::random(), principal, term, definition,
                                                    provenance, MemoryAssociationState::active,
                                                    timestamp, timestamp});
                };
                MemoryAssociation association = std::visit(
                    [&](const auto& change) -> MemoryAssociation {
                        using T = std::decay_t<decltype(change)>;
                        if constexpr (std::is_same_v<T, MemoryMutation::Create>) {
                            return created(change.term, change.definition,
                                           MemoryProvenance::explicitlySaved);
                        } else if constexpr (std::is_same_v<T, MemoryMutation::Suggest>) {
                            return created(change.term, change.definition,
                                           MemoryProvenance::inferred);
                        } else if constexpr (std::is_same_v<T, MemoryMutation::Update>) {
                            return updateRow(change.id, principal, change.term, change.definition,
                                             timestamp);
                        } else {
                            return tombstoneRow(change.id, principal, timestamp);
                        }
                    },
                    mutation.value);
                changes_->send(principal);
                committed.push_back({mutation.operation(), std::move(association)});
            }
        });
    } catch (const SQLiteSupport::Failure& failure) {
        // Only BEGIN and COMMIT fail unmapped.
        throw MemoryStoreError::withMessage(Case::writeFailed, failure.message());
    }
    return committed;
}

std::vector<CommittedMemoryMutation> MemoryStore::apply(
    const std::vector<MemoryMutation>& mutations, const MemoryPrincipal& principal,
    std::int64_t timestamp) {
    std::lock_guard lock(mutex_);
    return applyBatch(mutations, principal, timestamp);
}

std::vector<CommittedMemoryMutation> MemoryStore::apply(
    const std::vector<MemoryMutation>& mutations, const MemoryPrincipal& principal,
    const Authorizing& authorizing) {
    std::lock_guard lock(mutex_);
    authorize(authorizing);
    return applyBatch(mutations, principal, now());
}

void MemoryStore::snapshot(const std::filesystem::path& destination) {
    std::filesystem::create_directories(destination.parent_path());
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        auto path = destination;
        path += suffix;
        std::filesystem::remove(path, ignored);
    }
    std::lock_guard lock(mutex_);
    SQLiteConnection copy;
    try {
        prepareOwnerOnlyDatabase(destination);
    } catch (const std::filesystem::filesystem_error& error) {
        throw MemoryStoreError::withMessage(Case::snapshotFailed, error.what());
    }
    try {
        copy = SQLiteConnection::open(destination, SQLiteSupport::OpenMode::readWriteCreate);
    } catch (const SQLiteSupport::Failure& failure) {
        throw MemoryStoreError::withMessage(Case::snapshotFailed, failure.message());
    }
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", connection_.get(), "main");
    if (backup == nullptr) {
        throw MemoryStoreError::withMessage(Case::snapshotFailed, sqlite3_errmsg(copy.get()));
    }
    const int stepped = sqlite3_backup_step(backup, -1);
    const int finished = sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE || finished != SQLITE_OK) {
        throw MemoryStoreError::withMessage(Case::snapshotFailed, sqlite3_errmsg(copy.get()));
    }
}

}  // namespace vask
