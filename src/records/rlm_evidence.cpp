#include "records/rlm_evidence.h"

#include "records/record_json.h"

namespace vask {

using namespace record_json;

std::string_view rawValue(RLMEvidence::SourceKind kind) {
    switch (kind) {
        case RLMEvidence::SourceKind::messages:
            return "messages";
        case RLMEvidence::SourceKind::messagesWithQueryFallback:
            return "messages_with_query_fallback";
        case RLMEvidence::SourceKind::query:
            return "query";
    }
    return "messages";
}

std::optional<RLMEvidence::SourceKind> evidenceSourceKind(std::string_view text) {
    for (const auto kind :
         {RLMEvidence::SourceKind::messages, RLMEvidence::SourceKind::messagesWithQueryFallback,
          RLMEvidence::SourceKind::query}) {
        if (rawValue(kind) == text) {
            return kind;
        }
    }
    return std::nullopt;
}

RLMEvidence RLMEvidence::fromJson(const Json& json) {
    const auto& fields = object(json, "RLMEvidence");
    RLMEvidence evidence;
    evidence.id = requiredString(fields, "id");
    evidence.accessor = requiredString(fields, "accessor");
    evidence.label = requiredString(fields, "label");
    const auto kindText = requiredString(fields, "source_kind");
    const auto kind = evidenceSourceKind(kindText);
    if (!kind) {
        throw RecordDecodingError::dataCorrupted("Unknown value \"" + kindText +
                                                 R"(" under key "source_kind".)");
    }
    evidence.sourceKind = *kind;
    const JSONValue arguments =
        JSONValue::fromJson(object(required(fields, "arguments"), "arguments"));
    evidence.arguments = *arguments.asObject();
    evidence.rowCount = requiredInteger(fields, "row_count");
    if (const auto* result = optional(fields, "result")) {
        evidence.result = JSONValue::fromJson(*result);
    }
    evidence.resultTruncated = requiredBoolean(fields, "result_truncated");
    for (const auto& guid : array(required(fields, "message_guids"), "message_guids")) {
        evidence.messageGuids.push_back(string(guid, "message_guids"));
    }
    evidence.provenanceTruncated = optionalBoolean(fields, "provenance_truncated").value_or(false);
    return evidence;
}

}  // namespace vask
