#pragma once

#include <string>
#include <string_view>

namespace vask {

// A short stand-in for an identifier that may carry a phone number or e-mail address (chat ids
// and notification ids do), so logs can still tell entries apart without revealing who: the
// first 12 hexadecimal digits of its SHA-256.
std::string loggableIdentifier(std::string_view identifier);

}  // namespace vask
