#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/rlm_credentials.h"
#include "engine/rlm_usage_observability.h"
#include "records/session_artifact.h"
#include "records/session_artifact_manifest.h"

namespace vask {

// One prior turn of the conversation as the helper reads it.
struct HostConversationMessage {
    std::string role;
    std::string text;

    nlohmann::json toJson() const;
    static HostConversationMessage fromJson(const nlohmann::json& json);

    bool operator==(const HostConversationMessage&) const = default;
};

// The one request a helper run reads from its standard input.
struct HostRequest {
    std::optional<std::string> apiKey;
    std::optional<std::string> customerToken;
    AuthType authType = AuthType::apiKey;
    std::string question;
    std::string dbPath;
    std::optional<std::string> contactsDbPath;
    std::optional<std::string> memoryDbPath;
    std::optional<std::string> rootModel;
    std::optional<std::string> subcallModel;
    std::string rootReasoningEffort = "medium";
    std::string promptProfile = "compact";
    std::optional<std::int64_t> maxDepth;
    std::optional<std::int64_t> maxCalls;
    std::int64_t maxIterations = 5;
    std::int64_t maxTokens = 500000;
    std::optional<std::int64_t> maxOutputChars;
    bool verbose = false;
    std::optional<std::vector<HostConversationMessage>> conversationMessages;
    std::vector<SessionArtifactManifest> conversationArtifactManifests;
    std::optional<std::vector<SessionArtifact>> conversationArtifacts;
    bool fileAccessEnabled = false;
    std::string personaContextEndpoint;
    std::string personaContextToken;

    // "customer_token" when the token is present and not blank, else "api_key".
    static AuthType authTypeFor(const RLMCredentials& credentials);

    // Absent optional fields are left out, never written as null.
    nlohmann::json toJson() const;

    // "rlm_helper_start": what was staged and which models run, never a credential.
    std::map<std::string, std::string> startLogMetadata() const;
};

}  // namespace vask
