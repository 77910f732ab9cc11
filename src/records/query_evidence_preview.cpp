#include "records/query_evidence_preview.h"

#include <array>
#include <string_view>

#include "records/record_json.h"

namespace vask {

using namespace record_json;

namespace {

constexpr std::array<std::string_view, 3> caseNames{"scalar", "rows", "unavailable"};

}  // namespace

std::string QueryEvidencePreview::text() const {
    if (const auto* scalar = std::get_if<Scalar>(&value)) {
        return scalar->value;
    }
    if (const auto* rows = std::get_if<Rows>(&value)) {
        return std::to_string(rows->count) + " matching " + (rows->count == 1 ? "row" : "rows");
    }
    return "Result preview unavailable";
}

Json QueryEvidencePreview::toJson() const {
    if (const auto* scalar = std::get_if<Scalar>(&value)) {
        return Json{{"scalar", Json{{"_0", scalar->value}}}};
    }
    if (const auto* rows = std::get_if<Rows>(&value)) {
        return Json{{"rows", Json{{"_0", rows->count}}}};
    }
    return Json{{"unavailable", Json::object()}};
}

QueryEvidencePreview QueryEvidencePreview::fromJson(const Json& json) {
    const auto& fields = object(json, "preview");
    std::string_view present;
    int count = 0;
    for (auto name : caseNames) {
        if (fields.contains(name)) {
            present = name;
            ++count;
        }
    }
    if (count != 1) {
        throw RecordDecodingError(RecordDecodingError::Case::typeMismatch,
                                  "Invalid number of keys found, expected one.");
    }
    const auto& payload = object(fields.at(std::string(present)), present);
    if (present == "scalar") {
        return scalar(requiredString(payload, "_0"));
    }
    if (present == "rows") {
        return rows(requiredInteger(payload, "_0"));
    }
    return unavailable();
}

}  // namespace vask
