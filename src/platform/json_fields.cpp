#include "platform/json_fields.h"

#include <cmath>
#include <limits>

namespace vask {

std::optional<std::int64_t> jsonWholeNumber(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        constexpr double limit = 9223372036854775808.0;  // 2^63
        if (std::isfinite(d) && d == std::trunc(d) && d >= -limit && d < limit) {
            return static_cast<std::int64_t>(d);
        }
    }
    return std::nullopt;
}

std::string jsonRequiredString(const nlohmann::json& object, std::string_view key,
                               std::string_view path) {
    const auto where = std::string(path) + std::string(key);
    const auto it = object.find(key);
    if (it == object.end()) {
        throw JsonFieldError("missing key \"" + where + "\"");
    }
    if (!it->is_string()) {
        throw JsonFieldError("\"" + where + "\" is not a string");
    }
    return it->get<std::string>();
}

}  // namespace vask
