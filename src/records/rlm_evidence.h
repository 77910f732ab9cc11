#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/json_value.h"

namespace vask {

// One evidence record of a helper answer: the trace of one data access, with the message guids
// it rests on. Read from the helper's response; the citations of the answer are made from it.
struct RLMEvidence {
    enum class SourceKind { messages, messagesWithQueryFallback, query };

    std::string id;
    std::string accessor;
    std::string label;
    SourceKind sourceKind = SourceKind::messages;
    JSONValue::Object arguments;
    std::int64_t rowCount = 0;
    std::optional<JSONValue> result;
    bool resultTruncated = false;
    std::vector<std::string> messageGuids;
    bool provenanceTruncated = false;

    // The helper's snake_case keys. Throws RecordDecodingError for a missing required key, a
    // value of the wrong type or an unknown "source_kind".
    static RLMEvidence fromJson(const nlohmann::json& json);

    bool operator==(const RLMEvidence&) const = default;
};

// "messages", "messages_with_query_fallback" or "query".
std::string_view rawValue(RLMEvidence::SourceKind kind);
std::optional<RLMEvidence::SourceKind> evidenceSourceKind(std::string_view text);

}  // namespace vask
