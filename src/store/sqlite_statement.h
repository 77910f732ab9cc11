#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/sqlite_support.h"

namespace vask {

// One prepared statement, finalized on destruction. Every failure throws SQLiteSupport::Failure;
// step() answers only "a row" or "done": any other result is an error, never the end of rows.
class SQLiteStatement {
  public:
    SQLiteStatement(sqlite3* db, std::string_view sql);
    ~SQLiteStatement();
    SQLiteStatement(SQLiteStatement&& other) noexcept;
    SQLiteStatement& operator=(SQLiteStatement&&) = delete;
    SQLiteStatement(const SQLiteStatement&) = delete;
    SQLiteStatement& operator=(const SQLiteStatement&) = delete;

    sqlite3_stmt* get() const { return statement_; }

    // Parameters are 1-based, as in SQLite.
    SQLiteStatement& bind(int index, std::string_view text);
    // Exact matches for strings, which would otherwise convert equally well to either text form.
    SQLiteStatement& bind(int index, const std::string& text) {
        return bind(index, std::string_view(text));
    }
    SQLiteStatement& bind(int index, const char* text) {
        return bind(index, std::string_view(text));
    }
    SQLiteStatement& bind(int index, const std::optional<std::string>& text);
    SQLiteStatement& bind(int index, std::int64_t value);
    SQLiteStatement& bind(int index, int value) {
        return bind(index, static_cast<std::int64_t>(value));
    }
    SQLiteStatement& bind(int index, double value);
    SQLiteStatement& bindNull(int index);
    SQLiteStatement& bindBlob(int index, const void* data, std::size_t size);

    // True for a row, false when done; throws on anything else.
    bool step();
    // Steps to the end, for statements that return no rows.
    void run();
    void reset();

    int columnCount() const;
    bool columnIsNull(int column) const;
    std::string columnText(int column) const;  // "" for NULL
    std::optional<std::string> columnOptionalText(int column) const;
    // The text with every ill-formed UTF-8 sequence replaced by U+FFFD: what leaves the store
    // as text is always valid UTF-8, whatever bytes a database holds.
    std::string columnUtf8Text(int column) const;  // "" for NULL
    std::optional<std::string> columnOptionalUtf8Text(int column) const;
    std::int64_t columnInt64(int column) const;
    std::optional<std::int64_t> columnOptionalInt64(int column) const;
    double columnDouble(int column) const;

  private:
    void check(int rc) const;

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace vask
