#include "records/query_evidence_source.h"

#include "records/record_json.h"

namespace vask {

using namespace record_json;

Json QueryEvidenceSource::toJson() const {
    return Json{{"id", id},
                {"label", label},
                {"accessor", accessor},
                {"preview", preview.toJson()},
                {"rowCount", rowCount},
                {"resultTruncated", resultTruncated}};
}

QueryEvidenceSource QueryEvidenceSource::fromJson(const Json& json) {
    const auto& fields = object(json, "QueryEvidenceSource");
    QueryEvidenceSource source;
    source.id = requiredString(fields, "id");
    source.label = requiredString(fields, "label");
    source.accessor = requiredString(fields, "accessor");
    if (const auto* preview = optional(fields, "preview")) {
        source.preview = QueryEvidencePreview::fromJson(*preview);
    } else {
        optionalString(fields, "detail");
        source.preview = QueryEvidencePreview::unavailable();
    }
    source.rowCount = requiredInteger(fields, "rowCount");
    source.resultTruncated = requiredBoolean(fields, "resultTruncated");
    return source;
}

}  // namespace vask
