#pragma once

#include <string>
#include <string_view>

namespace vask {

// `text` as a JSON string, quotes included, for quoting someone's message inside a model prompt:
// line breaks and quotes inside it cannot end the quotation. Bytes that are not UTF-8 become
// U+FFFD rather than failing the prompt.
std::string promptQuoted(std::string_view text);

}  // namespace vask
