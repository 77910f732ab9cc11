#include "records/answer_source.h"

#include "records/record_json.h"

namespace vask {

using namespace record_json;

std::string_view rawValue(AnswerSource::Kind kind) {
    return kind == AnswerSource::Kind::conversation ? "conversation" : "query";
}

AnswerSource::Kind AnswerSource::kind() const {
    return std::holds_alternative<ConversationSource>(payload) ? Kind::conversation : Kind::query;
}

std::string AnswerSource::id() const {
    if (const auto* conversation = std::get_if<ConversationSource>(&payload)) {
        return conversation->id;
    }
    return "query:" + std::get<QueryEvidenceSource>(payload).id;
}

Json AnswerSource::toJson() const {
    const std::string key(rawValue(kind()));
    if (const auto* conversation = std::get_if<ConversationSource>(&payload)) {
        return Json{{"kind", key}, {key, conversation->toJson()}};
    }
    return Json{{"kind", key}, {key, std::get<QueryEvidenceSource>(payload).toJson()}};
}

AnswerSource AnswerSource::fromJson(const Json& json) {
    const auto& fields = object(json, "AnswerSource");
    const auto kind = requiredString(fields, "kind");
    if (kind == rawValue(Kind::conversation)) {
        return AnswerSource{ConversationSource::fromJson(required(fields, kind))};
    }
    if (kind == rawValue(Kind::query)) {
        return AnswerSource{QueryEvidenceSource::fromJson(required(fields, kind))};
    }
    throw RecordDecodingError::dataCorrupted("Cannot initialize Kind from invalid String value " +
                                             kind);
}

}  // namespace vask
