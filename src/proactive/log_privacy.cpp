#include "proactive/log_privacy.h"

#include "platform/crypto.h"

namespace vask {

std::string loggableIdentifier(std::string_view identifier) {
    return Sha256::hex(identifier).substr(0, 12);
}

}  // namespace vask
