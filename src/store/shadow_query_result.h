#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace vask {

// One cell of a read-only query, by SQLite storage class.
struct SQLiteValue {
    struct Null {
        bool operator==(const Null&) const = default;
    };
    using Blob = std::vector<std::uint8_t>;
    // In case order: integer, real, text, blob, null.
    std::variant<std::int64_t, double, std::string, Blob, Null> value = Null{};

    static SQLiteValue integer(std::int64_t v) { return {v}; }
    static SQLiteValue real(double v) { return {v}; }
    static SQLiteValue text(std::string v) { return {std::move(v)}; }
    static SQLiteValue blob(Blob v) { return {std::move(v)}; }
    static SQLiteValue null() { return {}; }

    bool isNull() const { return std::holds_alternative<Null>(value); }
    bool operator==(const SQLiteValue&) const = default;
};

// The result of ShadowDB::executeReadOnly: unique column names in result order, and each row as
// a map from column name to value.
struct ShadowQueryResult {
    std::vector<std::string> columns;
    std::vector<std::map<std::string, SQLiteValue>> rows;

    bool operator==(const ShadowQueryResult&) const = default;
};

}  // namespace vask
