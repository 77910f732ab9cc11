#include "store/sqlite_statement.h"

#include <limits>
#include <utility>

#include "platform/text.h"

namespace vask {

SQLiteStatement::SQLiteStatement(sqlite3* db, std::string_view sql) : db_(db) {
    if (sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw SQLiteSupport::Failure(SQLITE_TOOBIG, "statement too long");
    }
    const int rc =
        sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr);
    if (rc != SQLITE_OK || statement_ == nullptr) {
        sqlite3_finalize(statement_);
        statement_ = nullptr;
        throw SQLiteSupport::failure(rc == SQLITE_OK ? SQLITE_MISUSE : rc, db);
    }
}

SQLiteStatement::~SQLiteStatement() {
    sqlite3_finalize(statement_);
}

SQLiteStatement::SQLiteStatement(SQLiteStatement&& other) noexcept
    : db_(other.db_), statement_(std::exchange(other.statement_, nullptr)) {}

void SQLiteStatement::check(int rc) const {
    if (rc != SQLITE_OK) {
        throw SQLiteSupport::failure(rc, db_);
    }
}

SQLiteStatement& SQLiteStatement::bind(int index, std::string_view text) {
    check(SQLiteSupport::bindText(text, index, statement_));
    return *this;
}

SQLiteStatement& SQLiteStatement::bind(int index, const std::optional<std::string>& text) {
    check(SQLiteSupport::bindOptionalText(text, index, statement_));
    return *this;
}

SQLiteStatement& SQLiteStatement::bind(int index, std::int64_t value) {
    check(sqlite3_bind_int64(statement_, index, value));
    return *this;
}

SQLiteStatement& SQLiteStatement::bind(int index, double value) {
    check(sqlite3_bind_double(statement_, index, value));
    return *this;
}

SQLiteStatement& SQLiteStatement::bindNull(int index) {
    check(sqlite3_bind_null(statement_, index));
    return *this;
}

SQLiteStatement& SQLiteStatement::bindBlob(int index, const void* data, std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw SQLiteSupport::Failure(SQLITE_TOOBIG, "blob too big");
    }
    check(sqlite3_bind_blob(statement_, index, data, static_cast<int>(size), SQLITE_TRANSIENT));
    return *this;
}

bool SQLiteStatement::step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    throw SQLiteSupport::failure(rc, db_);
}

void SQLiteStatement::run() {
    while (step()) {
    }
}

void SQLiteStatement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

int SQLiteStatement::columnCount() const {
    return sqlite3_column_count(statement_);
}

bool SQLiteStatement::columnIsNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::string SQLiteStatement::columnText(int column) const {
    return columnOptionalText(column).value_or(std::string());
}

std::string SQLiteStatement::columnUtf8Text(int column) const {
    return text::toValidUtf8(columnText(column));
}

std::optional<std::string> SQLiteStatement::columnOptionalUtf8Text(int column) const {
    auto value = columnOptionalText(column);
    if (value) {
        *value = text::toValidUtf8(*value);
    }
    return value;
}

std::optional<std::string> SQLiteStatement::columnOptionalText(int column) const {
    const auto* text = sqlite3_column_text(statement_, column);
    if (text == nullptr) {
        return std::nullopt;
    }
    const int size = sqlite3_column_bytes(statement_, column);
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

std::int64_t SQLiteStatement::columnInt64(int column) const {
    return sqlite3_column_int64(statement_, column);
}

std::optional<std::int64_t> SQLiteStatement::columnOptionalInt64(int column) const {
    if (columnIsNull(column)) {
        return std::nullopt;
    }
    return columnInt64(column);
}

double SQLiteStatement::columnDouble(int column) const {
    return sqlite3_column_double(statement_, column);
}

}  // namespace vask
