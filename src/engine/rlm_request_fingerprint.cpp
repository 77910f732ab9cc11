#include "engine/rlm_request_fingerprint.h"

#include "engine/host_json.h"

namespace vask {

using namespace host_json;

RLMRequestFingerprint RLMRequestFingerprint::fromJson(const Json& json) {
    const auto& fields = object(json, "fingerprint");
    RLMRequestFingerprint f;
    f.questionHash = string(required(fields, "question_hash"), "question_hash");
    f.questionLength = integer(required(fields, "question_length"), "question_length");
    f.contextHash = optionalString(fields, "context_hash");
    f.contextLength = integer(required(fields, "context_length"), "context_length");
    f.dbPath = optionalString(fields, "db_path");
    f.dbExists = boolean(required(fields, "db_exists"), "db_exists");
    f.dbSize = optionalInteger(fields, "db_size");
    f.dbMtime = optionalNumber(fields, "db_mtime");
    f.contactsPath = optionalString(fields, "contacts_path");
    f.contactsExists = boolean(required(fields, "contacts_exists"), "contacts_exists");
    f.contactsSize = optionalInteger(fields, "contacts_size");
    f.contactsMtime = optionalNumber(fields, "contacts_mtime");
    f.rootModel = string(required(fields, "root_model"), "root_model");
    f.subcallModel = string(required(fields, "subcall_model"), "subcall_model");
    f.maxDepth = integer(required(fields, "max_depth"), "max_depth");
    f.maxCalls = integer(required(fields, "max_calls"), "max_calls");
    f.maxIterations = optionalInteger(fields, "max_iterations");
    f.maxOutputChars = integer(required(fields, "max_output_chars"), "max_output_chars");
    return f;
}

std::map<std::string, std::string> RLMRequestFingerprint::operationalLogMetadata() const {
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    const auto size = [](const std::optional<std::int64_t>& value) {
        return value ? std::to_string(*value) : std::string();
    };
    const auto time = [](const std::optional<double>& value) {
        return value ? shortestDecimal(*value) : std::string();
    };
    return {
        {"question_length", std::to_string(questionLength)},
        {"context_length", std::to_string(contextLength)},
        {"db_exists", flag(dbExists)},
        {"contacts_exists", flag(contactsExists)},
        {"root_model", rootModel},
        {"subcall_model", subcallModel},
        {"max_depth", std::to_string(maxDepth)},
        {"max_calls", std::to_string(maxCalls)},
        {"max_output_chars", std::to_string(maxOutputChars)},
        {"max_iterations", maxIterations ? std::to_string(*maxIterations) : "unavailable"},
        {"db_size", size(dbSize)},
        {"db_mtime", time(dbMtime)},
        {"contacts_size", size(contactsSize)},
        {"contacts_mtime", time(contactsMtime)},
    };
}

}  // namespace vask
