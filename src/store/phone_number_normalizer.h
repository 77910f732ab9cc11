#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vask {

// Reduces a phone number, written in any of the ways people and address books write them, to one
// canonical form: "+" and digits with a country code. Message handles and contact identifiers go
// through the same rules, so the two meet in a plain equality join. E-mail addresses are the
// callers' business.
class PhoneNumberNormalizer {
  public:
    PhoneNumberNormalizer() = delete;

    // Nothing when the text cannot be a phone number (blank, no digits, a short code, or too many
    // digits without an international prefix). Ten digits get `defaultCountryCode`, used as it is.
    // Invalid UTF-8 never fails: an ill-formed byte is not a digit.
    static std::optional<std::string> normalize(std::string_view raw,
                                                std::string_view defaultCountryCode) noexcept;
};

}  // namespace vask
