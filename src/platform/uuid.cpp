#include "platform/uuid.h"

#include <cstdio>

#include "platform/crypto.h"
#include "platform/text.h"

namespace vask {
namespace {

std::string format(const Uuid::Bytes& b, const char* pattern) {
    char text[37];
    std::snprintf(text, sizeof text, pattern, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8],
                  b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace

Uuid Uuid::random() {
    Bytes b{};
    randomBytes(b);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
    return Uuid(b);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    Bytes bytes{};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            ++i;
            continue;
        }
        const int high = text::hexDigitValue(text[i]);
        const int low = text::hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[byte++] = static_cast<std::uint8_t>(high * 16 + low);
        i += 2;
    }
    return Uuid(bytes);
}

std::string Uuid::lowercaseString() const {
    return format(bytes_, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x");
}

std::string Uuid::uppercaseString() const {
    return format(bytes_, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X");
}

}  // namespace vask
