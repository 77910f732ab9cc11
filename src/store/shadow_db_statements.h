#pragma once

#include <string_view>

#include "store/shadow_db.h"
#include "store/sqlite_statement.h"

// Statement helpers shared by the files that implement ShadowDB; not part of its interface.
namespace vask::shadow_db_detail {

// Prepares `sql`, turning a refusal into prepareFailed.
inline SQLiteStatement prepare(sqlite3* db, std::string_view sql) {
    try {
        return SQLiteStatement(db, sql);
    } catch (const SQLiteSupport::Failure& failure) {
        throw ShadowDB::Error(ShadowDB::Error::Case::prepareFailed, failure.message());
    }
}

// Steps a read loop; a failed step is an error, never the end of the rows.
inline bool stepRow(SQLiteStatement& statement) {
    try {
        return statement.step();
    } catch (const SQLiteSupport::Failure& failure) {
        throw ShadowDB::Error(ShadowDB::Error::Case::queryFailed, failure.message());
    }
}

}  // namespace vask::shadow_db_detail
