#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "memory/memory_receipt.h"
#include "platform/uuid.h"
#include "records/answer_source.h"
#include "records/chat_role.h"
#include "records/chat_token_usage.h"
#include "records/record_date.h"
#include "records/session_artifact.h"

namespace vask {

// One turn of a chat, with everything kept beside its text. A plain value: it refers to no
// session or store.
struct ChatMessage {
    Uuid id;
    ChatRole role = ChatRole::user;
    std::string text;
    RecordDate timestamp;
    // Absent differs from an empty list: no citations were resolved versus none were found.
    std::optional<std::vector<AnswerSource>> sources;
    std::optional<bool> sourcesTruncated;
    std::optional<bool> extracted;
    std::optional<std::vector<MemoryReceipt>> memoryReceipts;
    std::vector<SessionArtifact> artifacts;
    std::optional<SessionArtifactAvailability> artifactAvailability;
    std::optional<ChatTokenUsage> tokenUsage;
    // A question the keyring held back (locked, not answering, not there, or its unlock under
    // way) when its chat was saved at a quit: the next start asks it once the keyring opens under
    // the same account, or says it was not asked. Code that does not know the key ignores it.
    std::optional<bool> heldForKeyring;

    // camelCase keys; absent optionals are left out, "artifacts" is always written.
    nlohmann::json toJson() const;
    // "id", "role", "text" and "timestamp" are required; every other key may be missing or null
    // and is then absent (artifacts empty). Unknown keys are ignored. Throws RecordDecodingError.
    static ChatMessage fromJson(const nlohmann::json& json);

    bool operator==(const ChatMessage&) const = default;
};

}  // namespace vask
