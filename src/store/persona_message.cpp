#include "store/persona_message.h"

namespace vask {

void to_json(nlohmann::json& json, const PersonaExemplar& exemplar) {
    json = {{"guid", exemplar.guid}, {"text", exemplar.text}};
}

void from_json(const nlohmann::json& json, PersonaExemplar& exemplar) {
    json.at("guid").get_to(exemplar.guid);
    json.at("text").get_to(exemplar.text);
}

void to_json(nlohmann::json& json, const PersonaThreadMessage& message) {
    json = {{"guid", message.guid},
            {"sender", message.sender},
            {"text", message.text},
            {"is_from_me", message.isFromMe}};
}

void from_json(const nlohmann::json& json, PersonaThreadMessage& message) {
    json.at("guid").get_to(message.guid);
    json.at("sender").get_to(message.sender);
    json.at("text").get_to(message.text);
    json.at("is_from_me").get_to(message.isFromMe);
}

}  // namespace vask
