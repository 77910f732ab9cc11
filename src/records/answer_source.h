#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "records/conversation_source.h"
#include "records/query_evidence_source.h"

namespace vask {

// One citation of an answer: a conversation or a query.
struct AnswerSource {
    enum class Kind { conversation, query };

    std::variant<ConversationSource, QueryEvidenceSource> payload;

    Kind kind() const;
    // The conversation's own id; "query:" + the query's id.
    std::string id() const;

    // {"kind": "conversation", "conversation": {...}} or {"kind": "query", "query": {...}}.
    nlohmann::json toJson() const;
    // Reads "kind" first, then the payload under the key it names (required).
    static AnswerSource fromJson(const nlohmann::json& json);

    bool operator==(const AnswerSource&) const = default;
};

std::string_view rawValue(AnswerSource::Kind kind);

// Citations after resolution or bounding, in display order; `truncated` when some were left out.
struct ResolvedSources {
    std::vector<AnswerSource> sources;
    bool truncated = false;

    bool operator==(const ResolvedSources&) const = default;
};

}  // namespace vask
