#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "records/chat_token_usage.h"

namespace vask {

// The one error of a helper run. what() is the user-facing message; the cases that come from a
// host response carry the usage the helper had already spent.
class RLMHelperError : public Error {
  public:
    enum class Case {
        processFailure,
        usageLimitReached,
        unauthorized,
        modelRefusedByTier,
        decodeFailure,
        invalidPersonaContextEndpoint,
        hostFailure,
        tokenBudgetExhausted,
        iterationLimitReached,
        missingHelperCommand,
        missingBundledHelper,
        invalidBundledRelayCache,
        shadowDBMissing,
        emptyOutput,
        invalidEvidenceSelection,
        executionTimeout,
    };

    struct Usage {
        std::optional<RLMTokenUsage> rootUsage;
        std::optional<RLMTokenUsage> subcallUsage;
        bool operator==(const Usage&) const = default;
    };

    static RLMHelperError processFailure(std::int32_t code, std::string stderrText);
    static RLMHelperError usageLimitReached(Usage usage);
    static RLMHelperError unauthorized(Usage usage);
    static RLMHelperError modelRefusedByTier(std::string stderrText, Usage usage);
    static RLMHelperError decodeFailure(std::string description);
    static RLMHelperError invalidPersonaContextEndpoint(std::string endpoint);
    static RLMHelperError hostFailure(std::string stderrText, Usage usage);
    static RLMHelperError tokenBudgetExhausted(std::int64_t requested, std::int64_t remaining,
                                               Usage usage);
    static RLMHelperError iterationLimitReached(std::int64_t limit, Usage usage);
    // One of the cases without a payload.
    static RLMHelperError plain(Case c);

    Case errorCase() const { return case_; }
    std::int32_t code() const { return code_; }
    // The process's or the host's diagnostics, or the payload text of the one-string cases.
    const std::string& detail() const { return detail_; }
    std::int64_t requested() const { return requested_; }
    std::int64_t remaining() const { return remaining_; }
    std::int64_t limit() const { return limit_; }
    const Usage& usage() const { return usage_; }

    const char* errorDescription() const { return what(); }

    // "type: message", then " | details: " and the details when there are any.
    static std::string hostStderr(std::string_view type, std::string_view message,
                                  const std::optional<std::string>& details);

    struct Payload {
        std::int32_t code = 0;
        std::string detail;
        std::int64_t requested = 0;
        std::int64_t remaining = 0;
        std::int64_t limit = 0;
        Usage usage;
    };

  private:
    RLMHelperError(Case c, Payload payload);
    static std::string message(Case c, const Payload& payload);

    Case case_;
    std::int32_t code_;
    std::string detail_;
    std::int64_t requested_;
    std::int64_t remaining_;
    std::int64_t limit_;
    Usage usage_;
};

}  // namespace vask
