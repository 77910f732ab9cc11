#pragma once

#include <unicode/ucnv.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace vask::test {

// `utf8` as the bytes a program writing `encoding` (an ICU converter name) saves.
inline std::string encodedAs(std::string_view utf8, const char* encoding) {
    std::string out(utf8.size() * 4 + 16, '\0');
    UErrorCode status = U_ZERO_ERROR;
    const auto length =
        ucnv_convert(encoding, "UTF-8", out.data(), static_cast<int32_t>(out.size()), utf8.data(),
                     static_cast<int32_t>(utf8.size()), &status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("cannot write ") + encoding + ": " +
                                 u_errorName(status));
    }
    out.resize(static_cast<std::size_t>(length));
    return out;
}

}  // namespace vask::test
