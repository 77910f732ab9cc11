#include "proactive/persona_context_responder.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/crypto.h"
#include "platform/text.h"
#include "proactive/loopback_persona_context_host.h"
#include "proactive/persona_context.h"
#include "store/shadow_db.h"

namespace vask {
namespace {

constexpr std::string_view personaContextPath = "/persona-context";
constexpr std::size_t maxRecipientBytes = 320;
constexpr std::size_t maxChatIDBytes = 1024;

struct PersonaContextRequest {
    std::string recipientHandle;
    std::optional<std::string> chatID;
    std::optional<std::int64_t> contactCap;
    std::optional<std::int64_t> threadTailCap;
};

// A JSON integer, or a number with no fraction, that fits 64 bits signed.
std::optional<std::int64_t> wholeNumber(const nlohmann::json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // 2^63 itself is out of range; every double below it converts exactly.
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

// Absent and null are "none"; anything but a whole number fails the decoding.
bool decodeCap(const nlohmann::json& object, const char* key, std::optional<std::int64_t>& out) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return true;
    }
    out = wholeNumber(*it);
    return out.has_value();
}

std::optional<PersonaContextRequest> decodeRequest(std::string_view body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    PersonaContextRequest request;
    const auto recipient = json.find("recipient_handle");
    if (recipient == json.end() || !recipient->is_string()) {
        return std::nullopt;
    }
    request.recipientHandle = recipient->get<std::string>();
    if (const auto chat = json.find("chat_id"); chat != json.end() && !chat->is_null()) {
        if (!chat->is_string()) {
            return std::nullopt;
        }
        request.chatID = chat->get<std::string>();
    }
    if (!decodeCap(json, "contact_cap", request.contactCap) ||
        !decodeCap(json, "thread_tail_cap", request.threadTailCap)) {
        return std::nullopt;
    }
    return request;
}

using Case = PersonaContextHostError::Case;

ChatPersonaContext buildContext(const PersonaContextRequest& request,
                                const std::filesystem::path& shadowDBPath) {
    const std::string recipient(text::trimmed(request.recipientHandle));
    if (recipient.empty() || recipient.size() > maxRecipientBytes ||
        recipient.find('\0') != std::string::npos) {
        throw PersonaContextHostError(Case::invalidRecipient, "invalid recipient handle");
    }
    if (request.chatID && (request.chatID->size() > maxChatIDBytes ||
                           request.chatID->find('\0') != std::string::npos)) {
        throw PersonaContextHostError(Case::invalidChat, "invalid chat id");
    }
    const std::int64_t contactCap =
        request.contactCap.value_or(PersonaContextBuilder::contactExemplarCap);
    const std::int64_t threadTailCap =
        request.threadTailCap.value_or(PersonaContextBuilder::threadTailCap);
    if (contactCap < 1 || contactCap > PersonaContextBuilder::contactExemplarCap ||
        threadTailCap < 1 || threadTailCap > PersonaContextBuilder::threadTailCap) {
        throw PersonaContextHostError(Case::invalidCaps, "invalid caps");
    }

    ShadowDB db(shadowDBPath, ShadowDB::OpenMode::readOnly);
    const auto contactRows = db.personaExemplars(
        recipient, static_cast<int>(contactCap) * PersonaContextBuilder::overFetchFactor);
    std::vector<PersonaThreadMessage> threadRows;
    if (request.chatID) {
        const std::string chatID(text::trimmed(*request.chatID));
        if (!chatID.empty()) {
            threadRows = db.personaThread(chatID, recipient, static_cast<int>(threadTailCap));
        }
    }
    return PersonaContextBuilder::buildChatContext(
        threadRows, contactRows, static_cast<int>(contactCap), static_cast<int>(threadTailCap));
}

std::string_view errorCode(Case kind) {
    switch (kind) {
        case Case::invalidRecipient:
            return "invalid_recipient_handle";
        case Case::invalidChat:
            return "invalid_chat_id";
        case Case::invalidCaps:
            return "invalid_caps";
        case Case::listenerFailed:
            break;
    }
    return "host_unavailable";
}

}  // namespace

PersonaContextResponder::PersonaContextResponder(std::filesystem::path shadowDBPath,
                                                 std::string token)
    : shadowDBPath_(std::move(shadowDBPath)), token_(std::move(token)) {}

std::string PersonaContextResponder::Response::serialized() const {
    std::string message =
        "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Error") +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n";
    message += body;
    return message;
}

PersonaContextResponder::Response PersonaContextResponder::error(int status,
                                                                 std::string_view code) {
    return {status, nlohmann::json{{"error", code}}.dump()};
}

PersonaContextResponder::Response PersonaContextResponder::respond(
    const HTTPRequest& request) const {
    if (request.method != "POST" || request.path != personaContextPath) {
        return error(404, "not_found");
    }
    const auto authorization = request.headers.find("authorization");
    if (authorization == request.headers.end() ||
        !constantTimeEquals(authorization->second, "Bearer " + token_)) {
        return error(401, "unauthorized");
    }
    const auto decoded = decodeRequest(request.body);
    if (!decoded) {
        return error(500, "retrieval_failed");
    }
    try {
        const nlohmann::json body = buildContext(*decoded, shadowDBPath_);
        try {
            // Texts from the database are not guaranteed UTF-8: bad bytes become U+FFFD rather
            // than failing the answer.
            return {200, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
        } catch (const std::exception&) {
            return {200, R"({"error":"encoding_failed"})"};
        }
    } catch (const PersonaContextHostError& e) {
        return error(400, errorCode(e.kind()));
    } catch (const std::exception&) {
        return error(500, "retrieval_failed");
    }
}

}  // namespace vask
