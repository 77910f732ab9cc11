#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "records/query_evidence_preview.h"

namespace vask {

// One database query of the helper cited by an answer.
struct QueryEvidenceSource {
    std::string id;
    std::string label;
    std::string accessor;
    QueryEvidencePreview preview;
    std::int64_t rowCount = 0;
    bool resultTruncated = false;

    // Always writes "preview"; never "detail".
    nlohmann::json toJson() const;
    // Without "preview" (missing or null), an older record's "detail" text is read and dropped and
    // the preview is unavailable; a "detail" that is not a string fails.
    static QueryEvidenceSource fromJson(const nlohmann::json& json);

    bool operator==(const QueryEvidenceSource&) const = default;
};

}  // namespace vask
