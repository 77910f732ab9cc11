#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include <nlohmann/json_fwd.hpp>

namespace vask {

// A short preview of a query's result: one value, a row count, or nothing to show.
struct QueryEvidencePreview {
    struct Scalar {
        std::string value;
        bool operator==(const Scalar&) const = default;
    };
    struct Rows {
        std::int64_t count = 0;
        bool operator==(const Rows&) const = default;
    };
    struct Unavailable {
        bool operator==(const Unavailable&) const = default;
    };

    std::variant<Scalar, Rows, Unavailable> value = Unavailable{};

    static QueryEvidencePreview scalar(std::string value) { return {Scalar{std::move(value)}}; }
    static QueryEvidencePreview rows(std::int64_t count) { return {Rows{count}}; }
    static QueryEvidencePreview unavailable() { return {Unavailable{}}; }

    // One line: the value, "<n> matching row(s)", or "Result preview unavailable".
    std::string text() const;

    // {"scalar": {"_0": s}}, {"rows": {"_0": n}} or {"unavailable": {}}.
    nlohmann::json toJson() const;
    // Exactly one of the three case names must be present (other keys are ignored); otherwise
    // throws typeMismatch "Invalid number of keys found, expected one."
    static QueryEvidencePreview fromJson(const nlohmann::json& json);

    bool operator==(const QueryEvidencePreview&) const = default;
};

}  // namespace vask
