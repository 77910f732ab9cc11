#include "store/phone_number_normalizer.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

#include "platform/text.h"

namespace vask {
namespace {

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII case-insensitive search; the markers are plain ASCII, so folding the rest is not needed.
std::string_view::size_type findIgnoringCase(std::string_view haystack, std::string_view needle) {
    if (needle.size() > haystack.size()) {
        return std::string_view::npos;
    }
    for (std::size_t start = 0; start + needle.size() <= haystack.size(); ++start) {
        bool matches = true;
        for (std::size_t i = 0; i < needle.size() && matches; ++i) {
            matches = asciiLower(haystack[start + i]) == needle[i];
        }
        if (matches) {
            return start;
        }
    }
    return std::string_view::npos;
}

// The text before the first extension marker: " ext", else "ext", else "#".
std::string_view withoutExtension(std::string_view text) {
    for (std::string_view marker :
         {std::string_view(" ext"), std::string_view("ext"), std::string_view("#")}) {
        if (const auto at = findIgnoringCase(text, marker); at != std::string_view::npos) {
            return text.substr(0, at);
        }
    }
    return text;
}

bool isNumber(UChar32 c) {
    return u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

struct NumberCharacters {
    std::string text;  // the number characters, as UTF-8, in order
    std::size_t count = 0;
};

NumberCharacters numberCharacters(std::string_view text) {
    NumberCharacters kept;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t offset = 0;
    while (offset < length) {
        const std::int32_t start = offset;
        UChar32 c = 0;
        U8_NEXT(bytes, offset, length, c);
        if (c < 0 || !isNumber(c)) {
            continue;
        }
        // A decimal digit of any script is written as its ASCII digit, so that a number typed
        // in one script meets the same number typed in another.
        if (u_charType(c) == U_DECIMAL_DIGIT_NUMBER) {
            kept.text += static_cast<char>('0' + u_charDigitValue(c));
        } else {
            kept.text.append(text.substr(static_cast<std::size_t>(start),
                                         static_cast<std::size_t>(offset - start)));
        }
        ++kept.count;
    }
    return kept;
}

}  // namespace

std::optional<std::string> PhoneNumberNormalizer::normalize(
    std::string_view raw, std::string_view defaultCountryCode) noexcept {
    try {
        const std::string_view trimmedText = text::trimmed(raw);
        if (trimmedText.empty()) {
            return std::nullopt;
        }
        const std::string_view kept = withoutExtension(trimmedText);
        const bool hasPlus = kept.starts_with('+');
        const NumberCharacters digits = numberCharacters(kept);
        if (digits.count == 0) {
            return std::nullopt;
        }
        if (hasPlus) {
            return "+" + digits.text;
        }
        // Appended piece by piece: GCC 12 warns (-Wrestrict, wrongly) about "+" + a temporary.
        const auto international = [](std::string_view countryCode, std::string_view number) {
            std::string text = "+";
            text += countryCode;
            text += number;
            return text;
        };
        if (digits.text.starts_with("00")) {
            return international("", std::string_view(digits.text).substr(2));
        }
        if (digits.count == 10) {
            return international(defaultCountryCode, digits.text);
        }
        if (digits.count < 8 || digits.count > 15) {
            return std::nullopt;
        }
        return "+" + digits.text;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace vask
