#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "memory/memory_schema.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace vask::test {

inline SQLiteConnection openRaw(const std::filesystem::path& path) {
    return SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
}

inline std::string queryText(const SQLiteConnection& db, const std::string& sql) {
    SQLiteStatement statement(db.get(), sql);
    return statement.step() ? statement.columnText(0) : std::string();
}

inline std::int64_t queryInt(const SQLiteConnection& db, const std::string& sql) {
    SQLiteStatement statement(db.get(), sql);
    return statement.step() ? statement.columnInt64(0) : -1;
}

// FTS5's own consistency check of the full-text table against its content.
inline bool ftsIntact(const SQLiteConnection& db) {
    try {
        db.execute("INSERT INTO associations_fts(associations_fts) VALUES('integrity-check')");
        return true;
    } catch (const SQLiteSupport::Failure&) {
        return false;
    }
}

// Runs the migration statements of versions 1 to `version` and records the version, as an
// older build of the store left the file.
inline void buildSchema(const SQLiteConnection& db, std::int32_t version) {
    for (std::int32_t v = 1; v <= version; ++v) {
        for (auto statement : memory_schema::migrationStatements(v)) {
            db.execute(statement);
        }
    }
    SQLiteSupport::setUserVersion(version, db.get());
}

}  // namespace vask::test
