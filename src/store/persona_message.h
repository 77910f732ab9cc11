#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace vask {

// A message the user wrote, kept as a sample of their style.
struct PersonaExemplar {
    std::string guid;
    std::string text;

    bool operator==(const PersonaExemplar&) const = default;
};

// One message of the one-to-one thread a reply is drafted for.
struct PersonaThreadMessage {
    std::string guid;
    std::string sender;
    std::string text;
    bool isFromMe = false;

    bool operator==(const PersonaThreadMessage&) const = default;
};

// Keys "guid", "text"; and "guid", "sender", "text", "is_from_me". from_json throws
// nlohmann::json::exception for a missing key or a value of the wrong type.
void to_json(nlohmann::json& json, const PersonaExemplar& exemplar);
void from_json(const nlohmann::json& json, PersonaExemplar& exemplar);
void to_json(nlohmann::json& json, const PersonaThreadMessage& message);
void from_json(const nlohmann::json& json, PersonaThreadMessage& message);

}  // namespace vask
