#include "proactive/prompt_text.h"

#include <nlohmann/json.hpp>

namespace vask {

std::string promptQuoted(std::string_view text) {
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vask
