#include "typedstream/archivable.h"

#include <limits>

#include "typedstream/unicode_alnum.h"

namespace vask::typedstream {

namespace {

// The code point starting at `i`, advancing `i` past it; malformed bytes count as U+FFFD one at
// a time (decoded strings are valid UTF-8, but an Archivable can be built by hand).
char32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t extra = 0;
    char32_t value = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        value = lead & 0x07;
    } else {
        return U'\uFFFD';
    }
    if (extra > text.size() - i) {
        return U'\uFFFD';
    }
    for (std::size_t k = 0; k < extra; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            return U'\uFFFD';
        }
        value = (value << 6) | (next & 0x3F);
    }
    i += extra;
    return value;
}

bool hasLetterOrNumber(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (isUnicodeLetterOrNumber(nextCodePoint(text, i))) {
            return true;
        }
    }
    return false;
}

bool isNumber(const Archivable& item) {
    return item.kind == Archivable::Kind::object && item.cls.name == "NSNumber" &&
           !item.values.empty();
}

}  // namespace

std::optional<std::pair<std::vector<Type>, std::size_t>> Type::getArrayLength(
    std::span<const std::uint8_t> types) {
    if (types.size() < 2 || types[0] != '[') {
        return std::nullopt;
    }
    std::size_t position = 1;
    std::int64_t length = 0;
    while (position < types.size() && types[position] >= '0' && types[position] <= '9') {
        const int digit = types[position] - '0';
        if (length > (std::numeric_limits<std::int64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        length = length * 10 + digit;
        ++position;
    }
    if (length < 1) {
        return std::nullopt;
    }
    return std::pair{std::vector<Type>{Type::array(length)}, position};
}

Archivable Archivable::object(Class cls, std::vector<Object> values) {
    Archivable item;
    item.kind = Kind::object;
    item.cls = std::move(cls);
    item.values = std::move(values);
    return item;
}

Archivable Archivable::data(std::vector<Object> values) {
    Archivable item;
    item.kind = Kind::data;
    item.values = std::move(values);
    return item;
}

Archivable Archivable::class_(Class cls) {
    Archivable item;
    item.kind = Kind::class_;
    item.cls = std::move(cls);
    return item;
}

Archivable Archivable::type(std::vector<Type> types) {
    Archivable item;
    item.kind = Kind::type;
    item.types = std::move(types);
    return item;
}

std::optional<std::string_view> Archivable::stringObjectText() const {
    if (kind != Kind::object || (cls.name != "NSString" && cls.name != "NSMutableString") ||
        values.empty()) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(&values.front())) {
        return *text;
    }
    return std::nullopt;
}

std::optional<std::string> Archivable::stringValue() const {
    const auto text = stringObjectText();
    if (!text || text->starts_with("__k") || text->find("Attribute") != std::string_view::npos ||
        text->find("NS") != std::string_view::npos || !hasLetterOrNumber(*text)) {
        return std::nullopt;
    }
    return std::string(*text);
}

std::optional<std::int64_t> Archivable::integerValue() const {
    if (!isNumber(*this)) {
        return std::nullopt;
    }
    if (const auto* value = std::get_if<std::int64_t>(&values.front())) {
        return *value;
    }
    return std::nullopt;
}

std::optional<double> Archivable::doubleValue() const {
    if (!isNumber(*this)) {
        return std::nullopt;
    }
    if (const auto* value = std::get_if<double>(&values.front())) {
        return *value;
    }
    return std::nullopt;
}

}  // namespace vask::typedstream
