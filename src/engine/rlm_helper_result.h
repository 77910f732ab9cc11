#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/json_value.h"
#include "records/chat_token_usage.h"
#include "records/rlm_evidence.h"
#include "records/session_artifact_candidate.h"

namespace vask {

// The outcome of a helper run that produced an answer.
struct RLMHelperResult {
    // Trimmed of white space and line breaks.
    std::string answer;
    // Why the helper could not read the contacts database, when it says so.
    std::optional<std::string> contactsError;
    std::optional<RLMTokenUsage> rootUsage;
    std::optional<RLMTokenUsage> subcallUsage;
    JSONValue::Object answerMetadata;
    std::vector<RLMEvidence> evidence;
    std::int64_t evidenceRecordsCount = 0;
    bool extracted = false;
    bool extractFailed = false;
    // Only for an answer produced normally; empty for extracted or recovered answers.
    std::vector<SessionArtifactCandidate> artifactCandidates;

    bool operator==(const RLMHelperResult&) const = default;
};

}  // namespace vask
