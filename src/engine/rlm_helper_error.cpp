#include "engine/rlm_helper_error.h"

#include <stdexcept>

#include "engine/token_count_format.h"
#include "platform/text.h"

namespace vask {

namespace {

template <typename Fill>
auto payload(Fill fill) {
    RLMHelperError::Payload p;
    fill(p);
    return p;
}

// A helper can put megabytes into the texts these messages carry; the user sees their start.
constexpr std::size_t shownDetailBytes = 2000;

std::string shown(const std::string& detail) {
    if (detail.size() <= shownDetailBytes) {
        return detail;
    }
    return std::string(text::utf8Prefix(detail, shownDetailBytes)) + "\u2026";
}

}  // namespace

RLMHelperError::RLMHelperError(Case c, Payload payload)
    : Error(message(c, payload)),
      case_(c),
      code_(payload.code),
      detail_(std::move(payload.detail)),
      requested_(payload.requested),
      remaining_(payload.remaining),
      limit_(payload.limit),
      usage_(std::move(payload.usage)) {}

RLMHelperError RLMHelperError::processFailure(std::int32_t code, std::string stderrText) {
    return {Case::processFailure, payload([&](Payload& p) {
                p.code = code;
                p.detail = std::move(stderrText);
            })};
}

RLMHelperError RLMHelperError::usageLimitReached(Usage usage) {
    return {Case::usageLimitReached, payload([&](Payload& p) { p.usage = std::move(usage); })};
}

RLMHelperError RLMHelperError::unauthorized(Usage usage) {
    return {Case::unauthorized, payload([&](Payload& p) { p.usage = std::move(usage); })};
}

RLMHelperError RLMHelperError::modelRefusedByTier(std::string stderrText, Usage usage) {
    return {Case::modelRefusedByTier, payload([&](Payload& p) {
                p.detail = std::move(stderrText);
                p.usage = std::move(usage);
            })};
}

RLMHelperError RLMHelperError::decodeFailure(std::string description) {
    return {Case::decodeFailure, payload([&](Payload& p) { p.detail = std::move(description); })};
}

RLMHelperError RLMHelperError::invalidPersonaContextEndpoint(std::string endpoint) {
    return {Case::invalidPersonaContextEndpoint,
            payload([&](Payload& p) { p.detail = std::move(endpoint); })};
}

RLMHelperError RLMHelperError::hostFailure(std::string stderrText, Usage usage) {
    return {Case::hostFailure, payload([&](Payload& p) {
                p.detail = std::move(stderrText);
                p.usage = std::move(usage);
            })};
}

RLMHelperError RLMHelperError::tokenBudgetExhausted(std::int64_t requested, std::int64_t remaining,
                                                    Usage usage) {
    return {Case::tokenBudgetExhausted, payload([&](Payload& p) {
                p.requested = requested;
                p.remaining = remaining;
                p.usage = std::move(usage);
            })};
}

RLMHelperError RLMHelperError::iterationLimitReached(std::int64_t limit, Usage usage) {
    return {Case::iterationLimitReached, payload([&](Payload& p) {
                p.limit = limit;
                p.usage = std::move(usage);
            })};
}

RLMHelperError RLMHelperError::plain(Case c) {
    switch (c) {
        case Case::missingHelperCommand:
        case Case::missingBundledHelper:
        case Case::invalidBundledRelayCache:
        case Case::shadowDBMissing:
        case Case::emptyOutput:
        case Case::invalidEvidenceSelection:
        case Case::executionTimeout:
            return {c, Payload()};
        default:
            throw std::invalid_argument("RLMHelperError::plain needs a case without a payload");
    }
}

std::string RLMHelperError::hostStderr(std::string_view type, std::string_view message,
                                       const std::optional<std::string>& details) {
    std::string text = std::string(type) + ": " + std::string(message);
    if (details) {
        text += " | details: " + *details;
    }
    return text;
}

std::string RLMHelperError::message(Case c, const Payload& p) {
    switch (c) {
        case Case::processFailure:
            return p.detail.empty()
                       ? "RLM helper failed with exit code " + std::to_string(p.code) + "."
                       : "RLM helper failed: " + shown(p.detail);
        case Case::usageLimitReached:
            return "You've reached the current usage limit.";
        case Case::unauthorized:
            return "Your session expired. Please sign in again.";
        case Case::modelRefusedByTier:
        case Case::hostFailure:
            return "RLM helper failed: " + shown(p.detail);
        case Case::decodeFailure:
            return "RLM helper response decode failed: " + shown(p.detail);
        case Case::invalidPersonaContextEndpoint:
            return "Persona context endpoint is invalid: " + shown(p.detail);
        case Case::tokenBudgetExhausted:
            return "Vask couldn't start the next model step: it needed room for up to " +
                   TokenCountFormat::compact(p.requested) + " tokens, but this run had " +
                   TokenCountFormat::compact(p.remaining) +
                   " remaining. No additional model call was made.";
        case Case::iterationLimitReached:
            return "Vask stopped after " + std::to_string(p.limit) +
                   " reasoning steps without confirming an answer. Please retry.";
        case Case::missingHelperCommand:
            return "RLM helper command not set. Set VASK_RLM_HELPER_CMD.";
        case Case::missingBundledHelper:
            return "No RLM helper is installed (nothing in share/vask/rlm beside the vask "
                   "program), so questions cannot be answered. Set VASK_RLM_HELPER_CMD to the "
                   "helper's command line: see \"Your own history and the RLM helper\" in "
                   "Vask's README.";
        case Case::invalidBundledRelayCache:
            return "Bundled RLM cache is not the immutable release representation.";
        case Case::shadowDBMissing:
            return "shadow.db not found. Run sync first.";
        case Case::emptyOutput:
            return "RLM helper returned no output.";
        case Case::invalidEvidenceSelection:
            return "Vask couldn't verify the messages supporting this answer. Please retry.";
        case Case::executionTimeout:
            return "This request took too long and was stopped. Please retry.";
    }
    return "RLM helper failed.";
}

}  // namespace vask
