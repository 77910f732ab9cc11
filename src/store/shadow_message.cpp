#include "store/shadow_message.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "platform/crypto.h"

namespace vask {

std::string ShadowMessage::contentHash() const {
    std::vector<std::string> sortedTypes = attachmentTypes;
    std::sort(sortedTypes.begin(), sortedTypes.end());
    std::string joined;
    for (std::size_t i = 0; i < sortedTypes.size(); ++i) {
        if (i > 0) {
            joined += ',';
        }
        joined += sortedTypes[i];
    }
    Sha256 sha;
    sha.update(text);
    sha.update("|");
    sha.update(joined);
    // Written once for every message a synchronisation copies: no formatted printing.
    auto hex = sha.finishHex();
    hex.resize(16);
    return hex;
}

std::optional<std::string> ShadowMessage::attachmentTypesJSON() const {
    if (attachmentTypes.empty()) {
        return std::nullopt;
    }
    // Escaped JSON: a type with a quote or a backslash must not break the array for readers.
    return nlohmann::json(attachmentTypes)
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vask
