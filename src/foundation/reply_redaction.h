#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vask {

// The longest refused reply, in characters, that goes into an error text and so into a log.
inline constexpr std::size_t maxRefusalCharacters = 1000;

// A refused reply of the cloud backend as its error may carry it: the backend may quote what it
// refused or send tokens with a status other than 200, and the error is both logged and shown.
// "Unknown error" for a body that is not UTF-8. In a JSON body the value of every token member,
// at any depth, becomes "[redacted]"; in the body's strings, or in a body that is not JSON,
// every whole-word occurrence of `secret` (what the request sent) becomes `placeholder`. At most
// maxRefusalCharacters characters.
std::string redactedRefusal(std::string_view body, std::string_view secret,
                            std::string_view placeholder);

}  // namespace vask
