#include "sources/vcard_parser.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>

#include "platform/logger.h"
#include "platform/text.h"
#include "sources/decoding/text_decoding.h"

namespace vask {
namespace {

const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "vcard");
    return instance;
}

// What a card holds in memory: its own size and its texts.
std::size_t cardBytes(const SystemContact& card) {
    std::size_t bytes = sizeof(SystemContact) + card.identifier.size() + card.givenName.size() +
                        card.familyName.size() + card.organizationName.size() +
                        card.jobTitle.size() + card.formattedName.size();
    for (const auto* list : {&card.phoneNumbers, &card.emailAddresses}) {
        for (const auto& value : *list) {
            bytes += sizeof(std::string) + value.size();
        }
    }
    return bytes;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && text::asciiLowered(a) == text::asciiLowered(b);
}

// The file's bytes as UTF-8: a byte order mark is dropped, and UTF-16 (told by its mark, or by
// the zero bytes of its ASCII characters) is converted. Bytes that are not valid UTF-8 stay as they
// are here, since a character may yet be split across a folded line. Only a conversion makes a
// copy; `storage` holds it.
std::string_view decodedFile(std::string_view bytes, std::string& storage) {
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        return bytes.substr(3);
    }
    const char* encoding = nullptr;
    if (bytes.starts_with("\xFF\xFE")) {
        encoding = "UTF-16LE";
        bytes.remove_prefix(2);
    } else if (bytes.starts_with("\xFE\xFF")) {
        encoding = "UTF-16BE";
        bytes.remove_prefix(2);
    } else if (bytes.size() >= 2 && bytes.size() % 2 == 0 &&
               (bytes[0] == '\0') != (bytes[1] == '\0')) {
        encoding = bytes[0] == '\0' ? "UTF-16BE" : "UTF-16LE";
    }
    if (encoding == nullptr) {
        return bytes;
    }
    storage = decoding::convert(bytes, encoding).value_or(std::string());
    return storage;
}

bool isQuotedPrintable(std::string_view line) {
    const auto colon = line.find(':');
    const auto head = line.substr(0, colon);
    for (std::size_t at = 0; (at = head.find(';', at)) != std::string_view::npos; ++at) {
        auto parameter = head.substr(at + 1);
        parameter = parameter.substr(0, parameter.find(';'));
        if (const auto eq = parameter.find('='); eq != std::string_view::npos) {
            parameter.remove_prefix(eq + 1);
        }
        if (equalsIgnoringCase(parameter, "QUOTED-PRINTABLE")) {
            return true;
        }
    }
    return false;
}

// Logical lines, handed to `visit` one at a time as they complete: CRLF, LF and CR all end a
// line, and a line that starts with a blank or a tab continues the one before it (the blank
// itself is not content). A quoted-printable value that ends with "=" continues on the next line
// whatever that starts with. Only the line being assembled is held, and whether it is
// quoted-printable is decided once, when its head (up to the first colon) is complete: a value
// of many soft breaks is read in time linear in its length.
template <typename Visit>
void forEachUnfoldedLine(std::string_view text, Visit visit) {
    std::string line;
    bool open = false;
    bool softBreak = false;
    // Whether the line's head is complete (a colon seen), and whether it is quoted-printable.
    bool headComplete = false;
    bool quotedPrintable = false;
    const auto append = [&](std::string_view piece) {
        const auto before = line.size();
        line.append(piece);
        if (!headComplete && line.find(':', before) != std::string::npos) {
            headComplete = true;
            quotedPrintable = isQuotedPrintable(line);
        }
    };
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const auto physical = text.substr(start, end - start);
        if (softBreak) {
            line.pop_back();
            append(physical);
        } else if (!physical.empty() && (physical.front() == ' ' || physical.front() == '\t') &&
                   open) {
            append(physical.substr(1));
        } else if (!physical.empty()) {
            if (open) {
                visit(std::string_view(line));
            }
            line.clear();
            headComplete = false;
            quotedPrintable = false;
            open = true;
            append(physical);
        }
        softBreak = open && quotedPrintable && line.ends_with('=');
        if (end == text.size()) {
            break;
        }
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
    if (open) {
        visit(std::string_view(line));
    }
}

// Whether a card holds nothing a contact keeps: such a card is not kept (a file of empty cards
// would otherwise be many times its size in memory).
bool holdsNothing(const SystemContact& card) {
    return card.identifier.empty() && card.givenName.empty() && card.familyName.empty() &&
           card.organizationName.empty() && card.jobTitle.empty() && card.formattedName.empty() &&
           card.phoneNumbers.empty() && card.emailAddresses.empty();
}

struct Property {
    std::string_view name;  // without its group
    std::string value;      // UTF-8, still escaped
};

std::string quotedPrintableDecoded(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '=' && i + 2 < value.size()) {
            const int high = text::hexDigitValue(value[i + 1]);
            const int low = text::hexDigitValue(value[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(value[i]);
    }
    return out;
}

// A value's bytes as the card writes them, quoted-printable decoded, and the CHARSET it names
// (empty for none).
struct RawValue {
    std::string bytes;
    std::string charset;
};

RawValue rawValue(std::string_view parameters, std::string_view value) {
    RawValue raw{std::string(value), {}};
    while (!parameters.empty()) {
        const auto semicolon = parameters.find(';');
        auto parameter = parameters.substr(0, semicolon);
        parameters = semicolon == std::string_view::npos ? std::string_view()
                                                         : parameters.substr(semicolon + 1);
        const auto eq = parameter.find('=');
        const auto key = parameter.substr(0, eq);
        const auto setting = eq == std::string_view::npos ? parameter : parameter.substr(eq + 1);
        if (equalsIgnoringCase(setting, "QUOTED-PRINTABLE")) {
            raw.bytes = quotedPrintableDecoded(raw.bytes);
        } else if (eq != std::string_view::npos && equalsIgnoringCase(key, "CHARSET")) {
            raw.charset = std::string(setting);
        }
    }
    return raw;
}

// A content line split into its name (without its group), its parameters and its value, and
// whether the value is one a card keeps; nothing for a line without a colon.
struct ContentLine {
    std::string_view name;
    std::string_view parameters;
    std::string_view value;
    bool read = false;
};

std::optional<ContentLine> splitLine(std::string_view line) {
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
    nameEnd = std::min(nameEnd, colon);
    auto name = line.substr(0, nameEnd);
    if (const auto dot = name.rfind('.'); dot != std::string_view::npos) {
        name.remove_prefix(dot + 1);
    }
    const auto parameters =
        nameEnd < colon ? line.substr(nameEnd + 1, colon - nameEnd - 1) : std::string_view();
    // Only the values a card keeps are decoded: a photo of megabytes is passed over, not copied.
    static constexpr std::string_view kRead[] = {"BEGIN", "END",   "UID", "FN",    "N",
                                                 "ORG",   "TITLE", "TEL", "EMAIL", "VERSION"};
    const bool read = std::any_of(std::begin(kRead), std::end(kRead), [&](std::string_view kept) {
        return equalsIgnoringCase(name, kept);
    });
    return ContentLine{name, parameters, line.substr(colon + 1), read};
}

// The encoding of the file's values that name no CHARSET and are not UTF-8, as text is guessed
// (old phones write their own code page, Shift_JIS or windows-1251, and name none, their bytes
// raw or quoted-printable): guessed once, at the first such value, from the bytes of all of them
// (up to 64 KB), which a pass over the file gathers.
class UndeclaredCharset {
  public:
    explicit UndeclaredCharset(std::string_view text) : text_(text) {}

    // The guessed encoding; nothing when the guess is UTF-8 or none.
    const std::optional<std::string>& get() {
        if (!guessed_) {
            auto name = decoding::guessedEncoding(undeclaredBytes());
            guessed_ = name == "UTF-8" ? std::nullopt : std::move(name);
        }
        return *guessed_;
    }

  private:
    std::string undeclaredBytes() const {
        constexpr std::size_t kSample = std::size_t{64} * 1024;
        std::string bytes;
        forEachUnfoldedLine(text_, [&](std::string_view line) {
            const auto parts = bytes.size() < kSample ? splitLine(line) : std::nullopt;
            if (!parts || !parts->read) {
                return;
            }
            auto raw = rawValue(parts->parameters, parts->value);
            if (raw.charset.empty() && !text::isValidUtf8(raw.bytes)) {
                bytes += raw.bytes;
                bytes += '\n';
            }
        });
        return bytes;
    }

    std::string_view text_;
    std::optional<std::optional<std::string>> guessed_;
};

// The value in UTF-8: quoted-printable is decoded and a CHARSET other than UTF-8 converted; a
// value that names none and is not UTF-8 is read in the encoding guessed for such values of the
// file; what still is not UTF-8 is replaced.
std::string decodedValue(std::string_view parameters, std::string_view value,
                         UndeclaredCharset& undeclared) {
    const auto raw = rawValue(parameters, value);
    if (!raw.charset.empty() && !equalsIgnoringCase(raw.charset, "UTF-8")) {
        if (auto converted = decoding::convert(raw.bytes, raw.charset.c_str())) {
            return *converted;
        }
    }
    if (raw.charset.empty() && !text::isValidUtf8(raw.bytes)) {
        if (const auto& guessed = undeclared.get()) {
            if (auto converted = decoding::convertReplacing(raw.bytes, guessed->c_str())) {
                return *converted;
            }
        }
    }
    return text::toValidUtf8(raw.bytes);
}

std::optional<Property> splitProperty(std::string_view line, UndeclaredCharset& undeclared) {
    const auto parts = splitLine(line);
    if (!parts) {
        return std::nullopt;
    }
    return Property{parts->name, parts->read
                                     ? decodedValue(parts->parameters, parts->value, undeclared)
                                     : std::string()};
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

// Whether a component of a structured value may hold a list of values separated by commas: from
// vCard 3.0 on; in 2.1 a comma is part of the value ("N:O'Neil, Jr.;John").
enum class ListValues { no, yes };

// One component of a structured value; its list values (vCard 4 allows several given names)
// are joined by blanks.
std::string component(const std::vector<std::string_view>& components, std::size_t index,
                      ListValues lists) {
    if (index >= components.size()) {
        return {};
    }
    if (lists == ListValues::no) {
        return textValue(components[index]);
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

void applyProperty(const Property& property, SystemContact& card, bool& haveName,
                   ListValues lists) {
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
            card.familyName = component(components, 0, lists);
            card.givenName = component(components, 1, lists);
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

// Hands each card of the text to `finish` as it ends.
template <typename Finish>
void forEachCard(std::string_view text, UndeclaredCharset& undeclared, Finish finish) {
    std::optional<SystemContact> card;
    bool haveName = false;
    auto lists = ListValues::yes;
    // A card inside a card (an old-style AGENT value) is not a contact of its own; any other
    // BEGIN inside a card means that card was never ended, and it ends there.
    int depth = 0;
    bool afterAgent = false;
    forEachUnfoldedLine(text, [&](std::string_view line) {
        const auto property = splitProperty(line, undeclared);
        if (!property) {
            return;
        }
        const auto value = text::trimmed(property->value);
        const bool agent = equalsIgnoringCase(property->name, "AGENT");
        if (equalsIgnoringCase(property->name, "BEGIN") && equalsIgnoringCase(value, "VCARD")) {
            if (depth > 0 && !afterAgent) {
                finish(std::move(*card));
                depth = 0;
            }
            if (depth++ == 0) {
                card.emplace();
                haveName = false;
                lists = ListValues::yes;
            }
        } else if (equalsIgnoringCase(property->name, "END") &&
                   equalsIgnoringCase(value, "VCARD")) {
            if (depth > 0 && --depth == 0) {
                finish(std::move(*card));
                card.reset();
            }
        } else if (depth == 1 && equalsIgnoringCase(property->name, "VERSION")) {
            lists = value == "2.1" ? ListValues::no : ListValues::yes;
        } else if (depth == 1) {
            applyProperty(*property, *card, haveName, lists);
        }
        afterAgent = agent || (afterAgent && depth > 1);
    });
    if (card) {
        finish(std::move(*card));
    }
}

}  // namespace

std::vector<SystemContact> VCardParser::parse(std::string_view input, std::string_view source,
                                              std::size_t* emptyCards) {
    // A card of a few bytes of text is a few hundred bytes in memory, so what a file yields is
    // bounded in proportion to it; cards past the bound are left out and counted.
    const auto maxYieldBytes = std::max(kMinYieldBytes, input.size() > SIZE_MAX / kYieldBytesPerByte
                                                            ? SIZE_MAX
                                                            : input.size() * kYieldBytesPerByte);
    std::string converted;
    const auto text = decodedFile(input, converted);
    // The text is read twice: first to count the cards kept, so that they are held in a vector
    // of their exact number (a growing vector briefly holds its cards three times over, and
    // other containers a pointer or two more per card), then to keep them.
    std::size_t empty = 0;
    std::size_t leftOut = 0;
    std::size_t kept = 0;
    std::vector<SystemContact> cards;
    UndeclaredCharset undeclared(text);
    for (const bool counting : {true, false}) {
        std::size_t yieldedBytes = 0;
        forEachCard(text, undeclared, [&](SystemContact&& finished) {
            if (holdsNothing(finished)) {
                empty += counting ? 1 : 0;
                return;
            }
            const auto bytes = cardBytes(finished);
            if (bytes > maxYieldBytes - yieldedBytes) {
                leftOut += counting ? 1 : 0;
                return;
            }
            yieldedBytes += bytes;
            if (counting) {
                ++kept;
            } else if (cards.size() < kept) {
                cards.push_back(std::move(finished));
            }
        });
        if (counting) {
            cards.reserve(kept);
        }
    }
    if (leftOut > 0) {
        logger().error(std::to_string(leftOut) + " cards left out, a vCard file yields at most " +
                       std::to_string(maxYieldBytes) +
                       " bytes of cards: " + text::toValidUtf8(source));
    }
    if (emptyCards != nullptr) {
        *emptyCards = empty;
    }
    return cards;
}

}  // namespace vask
