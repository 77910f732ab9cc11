#include "records/trace_object.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace vask::trace {
namespace {

const nlohmann::json* member(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

}  // namespace

std::optional<std::int64_t> integer(const nlohmann::json& object, std::string_view key) {
    const auto* value = member(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    switch (value->type()) {
        case nlohmann::json::value_t::number_integer:
            return value->get<std::int64_t>();
        case nlohmann::json::value_t::number_unsigned: {
            const auto u = value->get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(u);
        }
        case nlohmann::json::value_t::number_float: {
            const auto d = value->get<double>();
            // 2^63 itself is out of range; every double below it converts exactly.
            if (!std::isfinite(d) || std::nearbyint(d) != d || d < -9223372036854775808.0 ||
                d >= 9223372036854775808.0) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(d);
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::int64_t> nonnegativeInteger(const nlohmann::json& object, std::string_view key) {
    auto value = integer(object, key);
    if (value && *value < 0) {
        return std::nullopt;
    }
    return value;
}

const std::string* string(const nlohmann::json& object, std::string_view key) {
    const auto* value = member(object, key);
    return value != nullptr && value->is_string() ? value->get_ptr<const std::string*>() : nullptr;
}

}  // namespace vask::trace
