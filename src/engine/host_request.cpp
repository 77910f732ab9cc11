#include "engine/host_request.h"

#include "engine/host_json.h"
#include "platform/text.h"

namespace vask {

nlohmann::json HostConversationMessage::toJson() const {
    return {{"role", role}, {"text", text}};
}

HostConversationMessage HostConversationMessage::fromJson(const nlohmann::json& json) {
    using namespace host_json;
    const auto& fields = object(json, "HostConversationMessage");
    return {string(required(fields, "role"), "role"), string(required(fields, "text"), "text")};
}

AuthType HostRequest::authTypeFor(const RLMCredentials& credentials) {
    return presentAndNotBlank(credentials.customerToken) ? AuthType::customerToken
                                                         : AuthType::apiKey;
}

nlohmann::json HostRequest::toJson() const {
    nlohmann::json json = nlohmann::json::object();
    const auto put = [&json](const char* key, const auto& value) {
        if (value) {
            json[key] = *value;
        }
    };
    put("api_key", apiKey);
    put("customer_token", customerToken);
    json["auth_type"] = rawValue(authType);
    json["question"] = question;
    json["db_path"] = dbPath;
    put("contacts_db_path", contactsDbPath);
    put("memory_db_path", memoryDbPath);
    put("root_model", rootModel);
    put("subcall_model", subcallModel);
    json["root_reasoning_effort"] = rootReasoningEffort;
    json["prompt_profile"] = promptProfile;
    put("max_depth", maxDepth);
    put("max_calls", maxCalls);
    json["max_iterations"] = maxIterations;
    json["max_tokens"] = maxTokens;
    put("max_output_chars", maxOutputChars);
    json["verbose"] = verbose;
    if (conversationMessages) {
        auto& list = json["conversation_messages"] = nlohmann::json::array();
        for (const auto& message : *conversationMessages) {
            list.push_back(message.toJson());
        }
    }
    auto& manifests = json["conversation_artifact_manifests"] = nlohmann::json::array();
    for (const auto& manifest : conversationArtifactManifests) {
        manifests.push_back(manifest.toJson());
    }
    if (conversationArtifacts) {
        auto& list = json["conversation_artifacts"] = nlohmann::json::array();
        for (const auto& artifact : *conversationArtifacts) {
            list.push_back(artifact.toJson());
        }
    }
    json["file_access_enabled"] = fileAccessEnabled;
    json["persona_context_endpoint"] = personaContextEndpoint;
    json["persona_context_token"] = personaContextToken;
    return json;
}

std::map<std::string, std::string> HostRequest::startLogMetadata() const {
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    return {
        {"command_configured", "true"},
        {"has_contacts", flag(contactsDbPath.has_value())},
        {"has_memory", flag(memoryDbPath.has_value())},
        {"auth_type", std::string(rawValue(authType))},
        {"has_credentials", flag(presentAndNotBlank(apiKey) || presentAndNotBlank(customerToken))},
        {"root_model", rootModel.value_or("tier_default")},
        {"subcall_model", subcallModel.value_or("tier_default")},
    };
}

}  // namespace vask
