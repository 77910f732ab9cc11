#pragma once

#include <iconv.h>
#include <unicode/ucnv.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace vask::test {

// What iconv does with a byte it cannot convert: the conversion fails, or (into UTF-8 only) the
// byte reads as U+FFFD and the conversion goes on, as does a character the bytes end inside.
enum class Unconverted { fail, replaced };

// `bytes` through glibc's iconv from `from` to `to`; nothing when the pair is unknown, or when a
// byte does not convert and `unconverted` says the conversion fails.
inline std::optional<std::string> iconvConverted(std::string_view bytes, const char* to,
                                                 const char* from,
                                                 Unconverted unconverted = Unconverted::fail) {
    const iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::string in(bytes);
    std::string out(in.size() * 4 + 16, '\0');
    char* source = in.data();
    std::size_t sourceLeft = in.size();
    char* target = out.data();
    std::size_t targetLeft = out.size();
    bool failed = false;
    while (sourceLeft > 0) {
        if (iconv(converter, &source, &sourceLeft, &target, &targetLeft) !=
            static_cast<std::size_t>(-1)) {
            break;
        }
        // U+FFFD takes three bytes where the byte skipped took one: room for it.
        if (unconverted == Unconverted::fail || errno == E2BIG || targetLeft < 3) {
            failed = unconverted == Unconverted::fail;
            break;
        }
        std::memcpy(target, "\xEF\xBF\xBD", 3);
        target += 3;
        targetLeft -= 3;
        ++source;
        --sourceLeft;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(converter);
    if (failed) {
        return std::nullopt;
    }
    out.resize(out.size() - targetLeft);
    return out;
}

// `utf8` as glibc's iconv writes it in `encoding` (for what ICU has no converter for).
inline std::string iconvEncodedAs(std::string_view utf8, const char* encoding) {
    auto out = iconvConverted(utf8, encoding, "UTF-8");
    if (!out) {
        throw std::runtime_error(std::string("cannot write the text in ") + encoding);
    }
    return std::move(*out);
}

// `utf8` as the bytes a program writing `encoding` (an ICU converter name, or ISO-8859-16, which
// only iconv writes) saves.
inline std::string encodedAs(std::string_view utf8, const char* encoding) {
    if (std::string_view(encoding) == "ISO-8859-16") {
        return iconvEncodedAs(utf8, encoding);
    }
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
