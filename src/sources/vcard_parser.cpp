#include "sources/vcard_parser.h"

#include <optional>
#include <string>

#include "platform/text.h"

namespace vask {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto upperA = static_cast<char>(a[i] >= 'a' && a[i] <= 'z' ? a[i] - 32 : a[i]);
        const auto upperB = static_cast<char>(b[i] >= 'a' && b[i] <= 'z' ? b[i] - 32 : b[i]);
        if (upperA != upperB) {
            return false;
        }
    }
    return true;
}

// Logical lines: CRLF, LF and CR all end a line, and a line that starts with a blank or a tab
// continues the one before it (the blank itself is not content).
std::vector<std::string> unfoldedLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const auto line = text.substr(start, end - start);
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t') && !lines.empty()) {
            lines.back().append(line.substr(1));
        } else if (!line.empty()) {
            lines.emplace_back(line);
        }
        if (end == text.size()) {
            break;
        }
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
    return lines;
}

struct Property {
    std::string_view name;  // without its group
    std::string_view value;
};

std::optional<Property> splitProperty(std::string_view line) {
    bool quoted = false;
    std::size_t colon = std::string_view::npos;
    std::size_t nameEnd = std::string_view::npos;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == ';' && nameEnd == std::string_view::npos) {
            nameEnd = i;
        } else if (!quoted && c == ':') {
            colon = i;
            break;
        }
    }
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    auto name = line.substr(0, std::min(nameEnd, colon));
    if (const auto dot = name.rfind('.'); dot != std::string_view::npos) {
        name.remove_prefix(dot + 1);
    }
    return Property{name, line.substr(colon + 1)};
}

std::string unescaped(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        out += (next == 'n' || next == 'N') ? '\n' : next;
    }
    return out;
}

// Splits on `separator` where it is not escaped; the parts stay escaped.
std::vector<std::string_view> splitUnescaped(std::string_view value, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\') {
            ++i;
        } else if (value[i] == separator) {
            parts.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(value.substr(start));
    return parts;
}

std::string textValue(std::string_view value) {
    return std::string(text::trimmed(unescaped(value)));
}

// One component of a structured value; its list values (vCard 4 allows several given names)
// are joined by blanks.
std::string component(const std::vector<std::string_view>& components, std::size_t index) {
    if (index >= components.size()) {
        return {};
    }
    std::string joined;
    for (const auto part : splitUnescaped(components[index], ',')) {
        const auto piece = textValue(part);
        if (piece.empty()) {
            continue;
        }
        if (!joined.empty()) {
            joined += ' ';
        }
        joined += piece;
    }
    return joined;
}

std::string telephoneValue(std::string_view value) {
    auto number = textValue(value);
    if (number.size() >= 4 && equalsIgnoringCase(std::string_view(number).substr(0, 4), "tel:")) {
        number.erase(0, 4);
        // A tel URI may carry parameters (";ext=12" is written as the extension it is).
        if (const auto semicolon = number.find(';'); semicolon != std::string::npos) {
            const auto parameters = number.substr(semicolon + 1);
            number.erase(semicolon);
            if (parameters.size() > 4 && equalsIgnoringCase(parameters.substr(0, 4), "ext=")) {
                number += " ext " + parameters.substr(4);
            }
        }
    }
    return number;
}

void applyProperty(const Property& property, SystemContact& card, bool& haveName) {
    const auto name = property.name;
    if (equalsIgnoringCase(name, "UID")) {
        card.identifier = textValue(property.value);
    } else if (equalsIgnoringCase(name, "FN")) {
        if (card.formattedName.empty()) {
            card.formattedName = textValue(property.value);
        }
    } else if (equalsIgnoringCase(name, "N")) {
        if (!haveName) {
            const auto components = splitUnescaped(property.value, ';');
            card.familyName = component(components, 0);
            card.givenName = component(components, 1);
            haveName = true;
        }
    } else if (equalsIgnoringCase(name, "ORG")) {
        if (card.organizationName.empty()) {
            card.organizationName = textValue(splitUnescaped(property.value, ';').front());
        }
    } else if (equalsIgnoringCase(name, "TITLE")) {
        if (card.jobTitle.empty()) {
            card.jobTitle = textValue(property.value);
        }
    } else if (equalsIgnoringCase(name, "TEL")) {
        card.phoneNumbers.push_back(telephoneValue(property.value));
    } else if (equalsIgnoringCase(name, "EMAIL")) {
        // Kept as written: callers decide how to normalise addresses.
        card.emailAddresses.push_back(unescaped(property.value));
    }
}

}  // namespace

std::vector<SystemContact> VCardParser::parse(std::string_view input) {
    const std::string valid = text::toValidUtf8(input);
    std::vector<SystemContact> cards;
    std::optional<SystemContact> card;
    bool haveName = false;
    // Cards nested inside a card (an old-style AGENT) are not contacts of their own.
    int depth = 0;
    for (const auto& line : unfoldedLines(valid)) {
        const auto property = splitProperty(line);
        if (!property) {
            continue;
        }
        const auto value = text::trimmed(property->value);
        if (equalsIgnoringCase(property->name, "BEGIN") && equalsIgnoringCase(value, "VCARD")) {
            if (depth++ == 0) {
                card.emplace();
                haveName = false;
            }
        } else if (equalsIgnoringCase(property->name, "END") &&
                   equalsIgnoringCase(value, "VCARD")) {
            if (depth > 0 && --depth == 0) {
                cards.push_back(std::move(*card));
                card.reset();
            }
        } else if (depth == 1) {
            applyProperty(*property, *card, haveName);
        }
    }
    if (card) {
        cards.push_back(std::move(*card));
    }
    return cards;
}

}  // namespace vask
