#include "engine/rlm_response_decoder.h"

#include "platform/exact_int64.h"

#include <cmath>

#include "engine/host_json.h"
#include "engine/rlm_helper_error.h"
#include "engine/rlm_request_fingerprint.h"
#include "foundation/structured_logger.h"
#include "platform/text.h"
#include "records/record_decoding_error.h"

namespace vask {

namespace {

using namespace host_json;

struct HostError {
    std::string type;
    std::string message;
    std::optional<std::int64_t> status;
    std::optional<JSONValue::Object> details;
};

struct HostResponse {
    std::optional<std::string> answer;
    std::optional<HostError> error;
    std::optional<RLMRequestFingerprint> fingerprint;
    std::optional<JSONValue::Object> answerMetadata;
    std::optional<RLMTokenUsage> rootUsage;
    std::optional<RLMTokenUsage> subcallUsage;
    std::optional<RLMPromptPackObservability> promptPack;
    std::optional<std::vector<RLMEvidence>> evidence;
    std::optional<std::int64_t> rejectedMessageRecords;
    std::optional<std::int64_t> evidenceRecordsCount;
    std::optional<bool> extracted;
    std::optional<HostError> extractError;
    std::optional<HostError> recoveredError;
    std::optional<std::vector<SessionArtifactCandidate>> artifacts;
};

std::optional<HostError> hostError(const Json& fields, std::string_view key) {
    const auto* value = find(fields, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    const auto& error = object(*value, key);
    HostError decoded{string(required(error, "type"), "type"),
                      string(required(error, "message"), "message"),
                      optionalInteger(error, "status"), std::nullopt};
    if (const auto* details = find(error, "details")) {
        decoded.details = jsonObject(*details, "details");
    }
    return decoded;
}

std::optional<RLMTokenUsage> tokenUsage(const Json& fields, std::string_view key) {
    const auto* value = find(fields, key);
    return value ? std::optional(RLMTokenUsage{jsonObject(*value, key)}) : std::nullopt;
}

HostResponse decodeHostResponse(std::string_view output) {
    if (JSONValue::nestsTooDeeply(output)) {
        throw HostJSONError("The given data nests arrays and objects deeper than " +
                            std::to_string(JSONValue::maximumDepth) + " levels.");
    }
    const Json json = Json::parse(output, nullptr, false);
    if (json.is_discarded()) {
        throw HostJSONError("The given data was not valid JSON.");
    }
    const auto& fields = object(json, "the host response");
    HostResponse response;
    response.answer = optionalString(fields, "answer");
    response.error = hostError(fields, "error");
    if (const auto* fingerprint = find(fields, "fingerprint")) {
        response.fingerprint = RLMRequestFingerprint::fromJson(*fingerprint);
    }
    if (const auto* metadata = find(fields, "answer_metadata")) {
        response.answerMetadata = jsonObject(*metadata, "answer_metadata");
    }
    response.rootUsage = tokenUsage(fields, "root_usage");
    response.subcallUsage = tokenUsage(fields, "subcall_usage");
    if (const auto* pack = find(fields, "prompt_pack")) {
        response.promptPack = RLMPromptPackObservability::fromJson(*pack);
    }
    if (const auto* evidence = find(fields, "evidence")) {
        if (!evidence->is_array()) {
            throw HostJSONError("Expected a list under key \"evidence\".");
        }
        response.evidence.emplace();
        for (const auto& record : *evidence) {
            try {
                response.evidence->push_back(RLMEvidence::fromJson(record));
            } catch (const RecordDecodingError& e) {
                throw HostJSONError(e.description());
            } catch (const JSONValue::DecodeError& e) {
                throw HostJSONError(e.what());
            }
        }
    }
    if (const auto* validation = find(fields, "evidence_validation")) {
        const auto& validationFields = object(*validation, "evidence_validation");
        response.rejectedMessageRecords = integer(
            required(validationFields, "rejected_message_records"), "rejected_message_records");
    }
    response.evidenceRecordsCount = optionalInteger(fields, "evidence_records_count");
    response.extracted = optionalBoolean(fields, "extracted");
    response.extractError = hostError(fields, "extract_error");
    response.recoveredError = hostError(fields, "recovered_error");
    if (const auto* artifacts = find(fields, "artifacts")) {
        if (!artifacts->is_array()) {
            throw HostJSONError("Expected a list under key \"artifacts\".");
        }
        response.artifacts.emplace();
        for (const auto& candidate : *artifacts) {
            response.artifacts->push_back(SessionArtifactCandidate::fromJson(candidate));
        }
    }
    return response;
}

// A JSON number that is integral, at least `minimum` and below 2^63.
std::optional<std::int64_t> wholeNumber(const JSONValue::Object& details, const char* key,
                                        std::int64_t minimum) {
    const auto found = details.find(key);
    if (found == details.end() || found->second.asNumber() == nullptr) {
        return std::nullopt;
    }
    const auto value = exactInt64(*found->second.asNumber());
    return value && *value >= minimum ? value : std::nullopt;
}

RLMHelperError mappedHostError(const HostError& error, const HostResponse& response,
                               const StructuredLogger& logger) {
    std::optional<std::string> detailsText;
    if (error.details && !error.details->empty()) {
        detailsText = JSONValue::object(*error.details).description();
        logger.error(
            "rlm_error_details",
            {{"type", error.type}, {"details_count", std::to_string(error.details->size())}});
    }
    const RLMHelperError::Usage usage{response.rootUsage, response.subcallUsage};
    const auto stderrText = [&] {
        return RLMHelperError::hostStderr(error.type, error.message, detailsText);
    };
    if (error.status == 401) {
        return RLMHelperError::unauthorized(usage);
    }
    if (error.status == 403 &&
        error.message.find("is not allowed for this tier") != std::string::npos) {
        return RLMHelperError::modelRefusedByTier(stderrText(), usage);
    }
    if (error.status == 402) {
        return RLMHelperError::usageLimitReached(usage);
    }
    const JSONValue::Object noDetails;
    const auto& details = error.details ? *error.details : noDetails;
    if (error.type == "BudgetExhausted") {
        const auto resource = details.find("resource");
        const auto requested = wholeNumber(details, "requested", 0);
        const auto remaining = wholeNumber(details, "remaining", 0);
        if (resource != details.end() && resource->second == JSONValue::string("tokens") &&
            requested && remaining) {
            return RLMHelperError::tokenBudgetExhausted(*requested, *remaining, usage);
        }
    }
    if (error.type == "IterationLimitExceeded") {
        if (const auto limit = wholeNumber(details, "limit", 1)) {
            return RLMHelperError::iterationLimitReached(*limit, usage);
        }
    }
    if (!response.rootUsage && !response.subcallUsage) {
        return RLMHelperError::processFailure(1, stderrText());
    }
    return RLMHelperError::hostFailure(stderrText(), usage);
}

}  // namespace

RLMHelperResult RLMResponseDecoder::decodeResponse(
    std::string_view output, const RLMUsageObservabilityContext& usageContext) {
    const StructuredLogger logger("rlm-helper");
    HostResponse response;
    try {
        response = decodeHostResponse(output);
    } catch (const HostJSONError& e) {
        logger.info("rlm_token_usage",
                    RLMUsageObservability::metadata(usageContext, std::nullopt, std::nullopt,
                                                    std::nullopt, RLMRunOutcome::decodeFailure));
        throw RLMHelperError::decodeFailure(e.what());
    }
    const auto logUsage = [&](RLMRunOutcome outcome) {
        logger.info("rlm_token_usage", RLMUsageObservability::metadata(
                                           usageContext, response.promptPack, response.rootUsage,
                                           response.subcallUsage, outcome));
    };

    if (response.fingerprint) {
        logger.info("rlm_request_fingerprint", response.fingerprint->operationalLogMetadata());
        if (!response.fingerprint->contactsPath || !response.fingerprint->contactsExists) {
            logger.error(
                "contacts_not_available",
                {{"contacts_exists", response.fingerprint->contactsExists ? "true" : "false"}});
        }
    }
    if (response.error) {
        auto error = mappedHostError(*response.error, response, logger);
        logUsage(RLMRunOutcome::hostError);
        throw error;
    }
    if (response.rejectedMessageRecords && *response.rejectedMessageRecords != 0) {
        logger.error(
            "answer_evidence_rejected",
            {{"rejected_message_records", std::to_string(*response.rejectedMessageRecords)}});
        logUsage(RLMRunOutcome::evidenceRejected);
        throw RLMHelperError::plain(RLMHelperError::Case::invalidEvidenceSelection);
    }
    const std::string answer(response.answer ? text::trimmed(*response.answer) : "");
    if (answer.empty()) {
        logUsage(response.extractError ? RLMRunOutcome::extractFailed : RLMRunOutcome::emptyOutput);
        throw RLMHelperError::plain(RLMHelperError::Case::emptyOutput);
    }

    std::optional<std::string> contactsError;
    if (response.fingerprint) {
        if (!response.fingerprint->contactsPath) {
            contactsError = "Contacts DB not received by RLM";
        } else if (!response.fingerprint->contactsExists) {
            contactsError = "Contacts DB not found at " + *response.fingerprint->contactsPath;
        }
    }
    if (response.extractError) {
        logger.error("rlm_extract_fallback_failed", {{"type", response.extractError->type}});
    }
    if (response.recoveredError) {
        logger.info("rlm_recovered_error", {{"type", response.recoveredError->type}});
    }
    const RLMRunOutcome outcome = response.extractError     ? RLMRunOutcome::extractFailed
                                  : response.recoveredError ? RLMRunOutcome::recovered
                                  : response.extracted.value_or(false) ? RLMRunOutcome::extracted
                                                                       : RLMRunOutcome::success;
    logUsage(outcome);

    RLMHelperResult result;
    result.answer = answer;
    result.contactsError = std::move(contactsError);
    result.rootUsage = response.rootUsage;
    result.subcallUsage = response.subcallUsage;
    result.answerMetadata = response.answerMetadata.value_or(JSONValue::Object{});
    result.evidence = response.evidence.value_or(std::vector<RLMEvidence>{});
    result.evidenceRecordsCount = response.evidenceRecordsCount.value_or(0);
    result.extracted = response.extracted.value_or(false);
    result.extractFailed = response.extractError.has_value();
    if (outcome == RLMRunOutcome::success && response.artifacts) {
        result.artifactCandidates = std::move(*response.artifacts);
    }
    return result;
}

}  // namespace vask
