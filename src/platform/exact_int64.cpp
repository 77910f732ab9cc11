#include "platform/exact_int64.h"

#include <cmath>

namespace vask {

std::optional<std::int64_t> exactInt64(double x) {
    // Both bounds are powers of two, so every double between them converts exactly.
    if (!std::isfinite(x) || std::trunc(x) != x || x < -9223372036854775808.0 ||
        x >= 9223372036854775808.0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(x);
}

}  // namespace vask
