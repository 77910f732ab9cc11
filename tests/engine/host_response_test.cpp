#include <gtest/gtest.h>

#include <limits>

#include <nlohmann/json.hpp>

#include "engine/host_request.h"
#include "engine/rlm_helper_error.h"
#include "engine/rlm_response_decoder.h"
#include "platform/exact_int64.h"
#include "support/log_capture.h"

namespace vask {
namespace {

using nlohmann::json;
using Case = RLMHelperError::Case;

const RLMUsageObservabilityContext context{
    "1.0", "7", "tier_default", "managed_tier_default", "compact", "chat", "customer_token"};

json evidenceRecord(json overrides = json::object()) {
    json e = {{"id", "e1"},
              {"accessor", "search"},
              {"label", "Search"},
              {"source_kind", "messages"},
              {"arguments", json::object()},
              {"row_count", 1},
              {"result_truncated", false},
              {"message_guids", {"g1"}}};
    e.update(overrides);
    return e;
}

json hostError(std::string type, std::string message, json extra = json::object()) {
    json e = {{"type", std::move(type)}, {"message", std::move(message)}};
    e.update(extra);
    return {{"error", e}};
}

TEST(HostResponseTest, EveryCannedResponseMapsToItsErrorWithOneUsageEvent) {
    const json usage = {{"root_usage", {{"input_tokens", 5}}}};
    const auto with = [](json a, const json& b) {
        a.update(b);
        return a;
    };
    struct Row {
        std::string name;
        std::string output;
        Case error;
        std::string outcome;
    };
    const std::vector<Row> rows = {
        {"not json", "{", Case::decodeFailure, "decode_failure"},
        {"count as text", R"({"answer":"a","evidence_records_count":"3"})", Case::decodeFailure,
         "decode_failure"},
        {"unknown source kind",
         json{{"answer", "a"}, {"evidence", {evidenceRecord({{"source_kind", "rows"}})}}}.dump(),
         Case::decodeFailure, "decode_failure"},
        {"artifacts not a list", R"({"answer":"a","artifacts":{}})", Case::decodeFailure,
         "decode_failure"},
        {"401", hostError("Auth", "no", {{"status", 401}}).dump(), Case::unauthorized,
         "host_error"},
        {"402", hostError("Billing", "pay", {{"status", 402}}).dump(), Case::usageLimitReached,
         "host_error"},
        {"403 tier",
         hostError("Tier", "model x is not allowed for this tier", {{"status", 403}}).dump(),
         Case::modelRefusedByTier, "host_error"},
        {"403 other", hostError("Nope", "forbidden", {{"status", 403}}).dump(),
         Case::processFailure, "host_error"},
        {"403 other with usage",
         with(hostError("Nope", "forbidden", {{"status", 403}}), usage).dump(), Case::hostFailure,
         "host_error"},
        {"budget",
         hostError("BudgetExhausted", "spent",
                   {{"details", {{"resource", "tokens"}, {"requested", 1200}, {"remaining", 3}}}})
             .dump(),
         Case::tokenBudgetExhausted, "host_error"},
        {"budget fraction",
         hostError("BudgetExhausted", "spent",
                   {{"details", {{"resource", "tokens"}, {"requested", 1200.5}, {"remaining", 3}}}})
             .dump(),
         Case::processFailure, "host_error"},
        {"iterations",
         hostError("IterationLimitExceeded", "x", {{"details", {{"limit", 5}}}}).dump(),
         Case::iterationLimitReached, "host_error"},
        {"iterations zero",
         hostError("IterationLimitExceeded", "x", {{"details", {{"limit", 0}}}}).dump(),
         Case::processFailure, "host_error"},
        {"error beats answer",
         with(hostError("Auth", "no", {{"status", 401}}), {{"answer", "a"}}).dump(),
         Case::unauthorized, "host_error"},
        {"rejected evidence",
         R"({"answer":"a","evidence_validation":{"rejected_message_records":2}})",
         Case::invalidEvidenceSelection, "evidence_rejected"},
        {"rejected minus one",
         R"({"answer":"a","evidence_validation":{"rejected_message_records":-1}})",
         Case::invalidEvidenceSelection, "evidence_rejected"},
        {"empty object", "{}", Case::emptyOutput, "empty_output"},
        {"blank answer", R"({"answer":"   "})", Case::emptyOutput, "empty_output"},
        {"failed extraction", R"({"answer":"","extract_error":{"type":"X","message":"m"}})",
         Case::emptyOutput, "extract_failed"},
    };
    for (const auto& row : rows) {
        test::LogCapture logs;
        try {
            RLMResponseDecoder::decodeResponse(row.output, context);
            ADD_FAILURE() << row.name << ": decoded";
        } catch (const RLMHelperError& e) {
            EXPECT_EQ(e.errorCase(), row.error) << row.name;
        }
        const auto events = logs->events("rlm_token_usage");
        ASSERT_EQ(events.size(), 1u) << row.name;
        EXPECT_EQ(events[0].metadata.size(), 24u) << row.name;
        EXPECT_EQ(events[0].metadata.at("run_outcome"), row.outcome) << row.name;
    }
}

TEST(HostResponseTest, ErrorPayloads) {
    const auto error = [](const std::string& output) -> RLMHelperError {
        try {
            RLMResponseDecoder::decodeResponse(output, context);
        } catch (const RLMHelperError& e) {
            return e;
        }
        throw std::logic_error("decoded");
    };
    EXPECT_EQ(error(hostError("Nope", "forbidden", {{"status", 403}}).dump()).detail(),
              "Nope: forbidden");
    const auto budget = error(
        hostError("BudgetExhausted", "spent",
                  {
                      {"details", {{"resource", "tokens"}, {"requested", 1200}, {"remaining", 3}}},
                  })
            .dump());
    EXPECT_EQ(budget.requested(), 1200);
    EXPECT_EQ(budget.remaining(), 3);
    const auto other =
        error(hostError("BudgetExhausted", "spent", {{"details", {{"resource", "calls"}}}}).dump());
    EXPECT_EQ(other.detail(), "BudgetExhausted: spent | details: {resource: \"calls\"}");
    const auto withUsage = error(json{
        {"error", {{"type", "A"}, {"message", "b"}, {"status", 401}}},
        {"subcall_usage",
         {{"output_tokens", 9}}}}.dump());
    ASSERT_TRUE(withUsage.usage().subcallUsage);
    EXPECT_EQ(withUsage.usage().subcallUsage->metrics.at("output_tokens"), JSONValue::number(9));
}

TEST(HostResponseTest, AnswersWithTheirOutcomes) {
    const json artifact = {{"schema_version", 1},
                           {"kind", "entity_set"},
                           {"label", "L"},
                           {"definition", "D"},
                           {"members", json::array()}};
    struct Row {
        std::string name;
        json response;
        std::string outcome;
        std::size_t candidates;
    };
    const std::vector<Row> rows = {
        {"success", {{"answer", " Hi \n"}, {"artifacts", {7, artifact}}}, "success", 2},
        {"extracted",
         {{"answer", "Hi"}, {"extracted", true}, {"artifacts", {artifact}}},
         "extracted",
         0},
        {"recovered",
         {{"answer", "Hi"},
          {"recovered_error", {{"type", "T"}, {"message", "m"}}},
          {"artifacts", {artifact}}},
         "recovered",
         0},
        {"extract failed but answered",
         {{"answer", "Hi"}, {"extract_error", {{"type", "T"}, {"message", "m"}}}},
         "extract_failed",
         0},
        {"zero rejected",
         {{"answer", "Hi"}, {"evidence_validation", {{"rejected_message_records", 0}}}},
         "success",
         0},
    };
    for (const auto& row : rows) {
        test::LogCapture logs;
        const auto result = RLMResponseDecoder::decodeResponse(row.response.dump(), context);
        EXPECT_EQ(result.answer, "Hi") << row.name;
        EXPECT_EQ(result.artifactCandidates.size(), row.candidates) << row.name;
        EXPECT_EQ(logs->events("rlm_token_usage").at(0).metadata.at("run_outcome"), row.outcome)
            << row.name;
    }
}

std::string nested(std::size_t levels, std::string_view inner = "1") {
    return std::string(levels, '[') + std::string(inner) + std::string(levels, ']');
}

TEST(HostResponseTest, NestingPastTheDepthLimitIsUndecodable) {
    // The response object and the metadata object are two levels of their own.
    const std::size_t room = JSONValue::maximumDepth - 2;
    struct Row {
        std::string name;
        std::string output;
        bool decodes;
    };
    const std::vector<Row> cases = {
        {"metadata at the limit",
         R"({"answer":"ok","answer_metadata":{"deep":)" + nested(room) + "}}", true},
        {"metadata one past the limit",
         R"({"answer":"ok","answer_metadata":{"deep":)" + nested(room + 1) + "}}", false},
        {"metadata 100,000 levels deep",
         R"({"answer":"ok","answer_metadata":{"deep":)" + nested(100000) + "}}", false},
        {"error details past the limit",
         R"({"error":{"type":"X","message":"m","details":{"d":)" + nested(room + 1) + "}}}", false},
        {"brackets inside strings do not count",
         R"({"answer":"ok","answer_metadata":{"text":")" + std::string(1000, '[') + R"(\"{{"}})",
         true},
    };
    for (const auto& c : cases) {
        test::LogCapture logs;
        try {
            const auto result = RLMResponseDecoder::decodeResponse(c.output, context);
            EXPECT_TRUE(c.decodes) << c.name;
            EXPECT_EQ(result.answer, "ok") << c.name;
        } catch (const RLMHelperError& e) {
            EXPECT_FALSE(c.decodes) << c.name;
            EXPECT_EQ(e.errorCase(), Case::decodeFailure) << c.name;
            EXPECT_EQ(logs->events("rlm_token_usage").at(0).metadata.at("run_outcome"),
                      "decode_failure")
                << c.name;
        }
    }
}

TEST(HostResponseTest, ExactInt64TakesOnlyWholeNumbersInRange) {
    const std::vector<std::pair<double, std::optional<std::int64_t>>> rows = {
        {5.0, 5},
        {-0.0, 0},
        {5.5, std::nullopt},
        {-9223372036854775808.0, INT64_MIN},
        {9223372036854775808.0, std::nullopt},
        {1e300, std::nullopt},
        {std::numeric_limits<double>::infinity(), std::nullopt},
        {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
    };
    for (const auto& [value, expected] : rows) {
        EXPECT_EQ(exactInt64(value), expected) << value;
    }
}

TEST(HostResponseTest, JSONValueRefusesDeepNestingFromTextAndFromParsedJson) {
    const std::size_t limit = JSONValue::maximumDepth;
    EXPECT_EQ(JSONValue::parse(nested(limit)).kind(), JSONValue::Kind::array);
    EXPECT_THROW(JSONValue::parse(nested(limit + 1)), JSONValue::DecodeError);
    EXPECT_FALSE(JSONValue::nestsTooDeeply(R"(["\"[[[[[[", {"a": 1}])"));
    json deep = json::array();
    for (std::size_t i = 0; i < limit; ++i) {
        deep = json::array({deep});
    }
    EXPECT_THROW(JSONValue::fromJson(deep), JSONValue::DecodeError);
}

TEST(HostResponseTest, FingerprintDiagnosesContacts) {
    json fingerprint = {
        {"question_hash", "h"}, {"question_length", 3},     {"context_length", 0},
        {"db_exists", true},    {"contacts_exists", false}, {"contacts_path", "/p/contacts.db"},
        {"root_model", "r"},    {"subcall_model", "s"},     {"max_depth", 1},
        {"max_calls", 2},       {"max_output_chars", 10}};
    test::LogCapture logs;
    auto result = RLMResponseDecoder::decodeResponse(
        json{{"answer", "a"}, {"fingerprint", fingerprint}, {"evidence", {evidenceRecord()}}}
            .dump(),
        context);
    EXPECT_EQ(result.contactsError, "Contacts DB not found at /p/contacts.db");
    ASSERT_EQ(result.evidence.size(), 1u);
    EXPECT_EQ(result.evidence[0].messageGuids, std::vector<std::string>{"g1"});
    const auto logged = logs->events("rlm_request_fingerprint").at(0).metadata;
    EXPECT_EQ(logged.size(), 14u);
    EXPECT_EQ(logged.at("max_iterations"), "unavailable");
    EXPECT_EQ(logged.at("db_size"), "");
    EXPECT_EQ(logs->events("contacts_not_available").at(0).metadata.at("contacts_exists"), "false");

    fingerprint.erase("contacts_path");
    fingerprint["contacts_exists"] = true;
    result = RLMResponseDecoder::decodeResponse(
        json{{"answer", "a"}, {"fingerprint", fingerprint}}.dump(), context);
    EXPECT_EQ(result.contactsError, "Contacts DB not received by RLM");
    fingerprint.erase("root_model");
    EXPECT_THROW(RLMResponseDecoder::decodeResponse(
                     json{{"answer", "a"}, {"fingerprint", fingerprint}}.dump(), context),
                 RLMHelperError);
}

TEST(UsageObservabilityTest, LabelsRoutesAndCounters) {
    using namespace RLMUsageObservability;
    EXPECT_EQ(validLabel("  1.2.3 "), "1.2.3");
    EXPECT_EQ(validLabel(std::string(128, 'a')), std::string(128, 'a'));
    EXPECT_FALSE(validLabel(std::string(129, 'a')));
    EXPECT_FALSE(validLabel("1.2 (3)"));
    EXPECT_FALSE(validLabel("caf\xC3\xA9"));
    EXPECT_EQ(bundleValue(std::string(" ")), "unavailable");

    const auto tier = ModelRoute::tierDefault();
    const auto model = ModelRoute::explicitModel("m");
    const auto fast = ModelRoute::preset("Fast", "m", "s");
    const auto fastLower = ModelRoute::preset("fast", "m2", "s");
    const auto deep = ModelRoute::preset("deep", "m", "s");
    struct Row {
        ModelRoute root, subcall;
        AuthType auth;
        std::string preset, mode;
    };
    const std::vector<Row> rows = {
        {tier, tier, AuthType::customerToken, "tier_default", "managed_tier_default"},
        {fast, fastLower, AuthType::customerToken, "fast", "managed_preset"},
        {fast, deep, AuthType::customerToken, "not_applicable", "managed_unattributed"},
        {fast, tier, AuthType::customerToken, "not_applicable", "managed_unattributed"},
        {model, tier, AuthType::customerToken, "not_applicable", "managed_unattributed"},
        {model, model, AuthType::apiKey, "not_applicable", "developer_explicit"},
        {model, fast, AuthType::apiKey, "not_applicable", "developer_unattributed"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(selectedPreset(row.root, row.subcall), row.preset);
        EXPECT_EQ(routingMode(row.root, row.subcall, row.auth), row.mode);
    }

    const RLMTokenUsage usage{{{"input_tokens", JSONValue::number(1200.0)},
                               {"output_tokens", JSONValue::number(1200.5)},
                               {"total_tokens", JSONValue::number(-3)},
                               {"cache_read_tokens", JSONValue::string("1200")}}};
    const RLMTokenUsage requestsOnly{{{"requests", JSONValue::number(2)}}};
    RLMPromptPackObservability pack;
    pack.contentSHA256 = std::string(64, 'A');
    pack.profile = std::nullopt;
    const auto m = metadata(context, pack, usage, requestsOnly, RLMRunOutcome::success);
    EXPECT_EQ(m.size(), 24u);
    EXPECT_EQ(m.at("root_input_tokens"), "1200");
    EXPECT_EQ(m.at("root_output_tokens"), "unavailable");
    EXPECT_EQ(m.at("root_total_tokens"), "unavailable");
    EXPECT_EQ(m.at("root_cache_read_input_tokens"), "unavailable");
    EXPECT_EQ(m.at("root_usage_available"), "true");
    EXPECT_EQ(m.at("subcall_usage_available"), "false");
    EXPECT_EQ(m.at("prompt_content_sha256"), "unavailable");
    EXPECT_EQ(m.at("prompt_profile"), "compact");
    EXPECT_EQ(RLMPromptPackObservability::fromJson(json{{"profile", 3}}).profile, std::nullopt);
}

TEST(HostRequestTest, OmissionRules) {
    HostRequest request;
    request.customerToken = "   ";
    request.authType = HostRequest::authTypeFor({std::nullopt, request.customerToken});
    const auto encoded = request.toJson();
    for (const char* key :
         {"contacts_db_path", "memory_db_path", "root_model", "subcall_model",
          "conversation_messages", "conversation_artifacts", "max_depth", "max_calls", "api_key"}) {
        EXPECT_FALSE(encoded.contains(key)) << key;
    }
    EXPECT_EQ(encoded.at("conversation_artifact_manifests"), json::array());
    EXPECT_EQ(encoded.at("auth_type"), "api_key");
    EXPECT_EQ(encoded.at("customer_token"), "   ");
    const auto start = request.startLogMetadata();
    EXPECT_EQ(start.at("root_model"), "tier_default");
    EXPECT_EQ(start.at("has_credentials"), "false");
}

}  // namespace
}  // namespace vask
