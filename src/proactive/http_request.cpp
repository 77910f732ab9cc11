#include "proactive/http_request.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace vask {
namespace {

// The code point at `s[index]`, advancing `index`; nothing for an ill-formed sequence.
std::optional<char32_t> nextCodePoint(std::string_view s, std::size_t& index) {
    const auto lead = static_cast<unsigned char>(s[index]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++index;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (s.size() - index < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(s[index + i]);
        if ((byte & 0xC0) != 0x80) {
            return std::nullopt;
        }
        c = (c << 6) | (byte & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return std::nullopt;
    }
    index += length;
    return c;
}

bool isValidUtf8(std::string_view s) {
    for (std::size_t index = 0; index < s.size();) {
        if (!nextCodePoint(s, index)) {
            return false;
        }
    }
    return true;
}

// Tab and the Unicode space separators (general category Zs).
bool isHorizontalSpace(char32_t c) {
    return c == U'\t' || c == U' ' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// Only called on valid UTF-8.
std::string_view trimmedHorizontalSpace(std::string_view s) {
    std::size_t start = 0;
    while (start < s.size()) {
        std::size_t next = start;
        if (!isHorizontalSpace(*nextCodePoint(s, next))) {
            break;
        }
        start = next;
    }
    std::size_t end = start;
    for (std::size_t index = start; index < s.size();) {
        if (!isHorizontalSpace(*nextCodePoint(s, index))) {
            end = index;
        }
    }
    return s.substr(start, end - start);
}

std::vector<std::string_view> splitAtCRLF(std::string_view s) {
    std::vector<std::string_view> lines;
    std::size_t from = 0;
    for (auto at = s.find("\r\n"); at != std::string_view::npos; at = s.find("\r\n", from)) {
        lines.push_back(s.substr(from, at - from));
        from = at + 2;
    }
    lines.push_back(s.substr(from));
    return lines;
}

// Method, path and version: at most three pieces separated by runs of spaces, the last taking
// the rest of the line.
std::optional<std::vector<std::string_view>> requestLinePieces(std::string_view line) {
    std::vector<std::string_view> pieces;
    std::size_t index = 0;
    while (index < line.size() && pieces.size() < 2) {
        while (index < line.size() && line[index] == ' ') {
            ++index;
        }
        const auto end = line.find(' ', index);
        if (end == std::string_view::npos) {
            if (index < line.size()) {
                pieces.push_back(line.substr(index));
            }
            index = line.size();
            break;
        }
        pieces.push_back(line.substr(index, end - index));
        index = end;
    }
    while (index < line.size() && line[index] == ' ') {
        ++index;
    }
    if (index < line.size()) {
        pieces.push_back(line.substr(index));
    }
    if (pieces.size() != 3) {
        return std::nullopt;
    }
    return pieces;
}

// An optional sign, then decimal digits only, in the signed 64-bit range, not negative.
std::optional<std::size_t> contentLength(std::string_view value) {
    bool negative = false;
    if (!value.empty() && (value[0] == '+' || value[0] == '-')) {
        negative = value[0] == '-';
        value.remove_prefix(1);
    }
    if (value.empty()) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    for (const char c : value) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
        if (magnitude > limit + (negative ? 1 : 0)) {
            return std::nullopt;
        }
    }
    if (negative && magnitude != 0) {
        return std::nullopt;
    }
    if (magnitude > std::numeric_limits<std::size_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(magnitude);
}

std::string asciiLowercased(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace

std::optional<HTTPRequest> HTTPRequest::parseIfComplete(std::string_view buffer) {
    const auto headEnd = buffer.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view head = buffer.substr(0, headEnd);
    if (!isValidUtf8(head)) {
        return std::nullopt;
    }
    const auto lines = splitAtCRLF(head);
    const auto pieces = requestLinePieces(lines.front());
    if (!pieces) {
        return std::nullopt;
    }
    HTTPRequest request;
    request.method = std::string((*pieces)[0]);
    request.path = std::string((*pieces)[1]);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto colon = lines[i].find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        request.headers[asciiLowercased(lines[i].substr(0, colon))] =
            std::string(trimmedHorizontalSpace(lines[i].substr(colon + 1)));
    }
    const auto declared = request.headers.find("content-length");
    if (declared == request.headers.end()) {
        return std::nullopt;
    }
    const auto length = contentLength(declared->second);
    const std::size_t bodyStart = headEnd + 4;
    if (!length || buffer.size() - bodyStart < *length) {
        return std::nullopt;
    }
    request.body = std::string(buffer.substr(bodyStart, *length));
    return request;
}

}  // namespace vask
