#include "platform/url.h"

#include <cctype>

#include "platform/text.h"

namespace vask {
namespace {

bool isAllowedUrlCharacter(unsigned char c) {
    if (c <= 0x20 || c >= 0x7f) {
        return false;
    }
    switch (c) {
        case '"':
        case '<':
        case '>':
        case '\\':
        case '^':
        case '`':
        case '{':
        case '|':
        case '}':
            return false;
        default:
            return true;
    }
}

bool isUnreserved(unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
}

bool hasValidEscapes(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (text.size() - i < 3 || text::hexDigitValue(text[i + 1]) < 0 ||
                text::hexDigitValue(text[i + 2]) < 0) {
                return false;
            }
            i += 2;
        }
    }
    return true;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    for (const char c : text) {
        if (!isAllowedUrlCharacter(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    if (!hasValidEscapes(text)) {
        return std::nullopt;
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        std::isalpha(static_cast<unsigned char>(text[0])) == 0) {
        return std::nullopt;
    }
    Url url;
    for (const char c : text.substr(0, colon)) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) == 0 && c != '+' && c != '-' && c != '.') {
            return std::nullopt;
        }
        url.scheme_ += static_cast<char>(std::tolower(u));
    }
    std::string_view rest = text.substr(colon + 1);
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment_ = rest.substr(hash + 1);
        url.hasFragment_ = true;
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = rest.substr(question + 1);
        url.hasQuery_ = true;
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        url.hasAuthority_ = true;
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            url.userInfo_ = authority.substr(0, at);
            authority = authority.substr(at + 1);
        }
        std::string_view hostPart = authority;
        std::string_view portPart;
        if (authority.starts_with('[')) {
            const auto close = authority.find(']');
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            hostPart = authority.substr(0, close + 1);
            const auto after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':') {
                    return std::nullopt;
                }
                portPart = after.substr(1);
            }
        } else if (const auto portColon = authority.rfind(':');
                   portColon != std::string_view::npos) {
            hostPart = authority.substr(0, portColon);
            portPart = authority.substr(portColon + 1);
        }
        if (hostPart.find(':') != std::string_view::npos && !hostPart.starts_with('[')) {
            return std::nullopt;
        }
        if (!portPart.empty()) {
            if (portPart.size() > 5) {
                return std::nullopt;
            }
            int port = 0;
            for (const char c : portPart) {
                if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
                    return std::nullopt;
                }
                port = port * 10 + (c - '0');
            }
            if (port > 65535) {
                return std::nullopt;
            }
            url.port_ = port;
        }
        url.host_ = text::toLower(hostPart);
    }
    url.path_ = rest;
    if ((url.scheme_ == "http" || url.scheme_ == "https") && url.host_.empty()) {
        return std::nullopt;
    }
    url.text_ = std::string(text);
    return url;
}

void Url::rebuild() {
    text_ = scheme_ + ":";
    if (hasAuthority_) {
        text_ += "//";
        if (!userInfo_.empty()) {
            text_ += userInfo_ + "@";
        }
        text_ += host_;
        if (port_) {
            // Two appends: GCC 12 warns (-Wrestrict, wrongly) about ":" + a temporary string.
            text_ += ':';
            text_ += std::to_string(*port_);
        }
    }
    text_ += path_;
    if (hasQuery_) {
        text_ += "?" + query_;
    }
    if (hasFragment_) {
        text_ += "#" + fragment_;
    }
}

Url::QueryItems Url::queryItems() const {
    QueryItems items;
    if (!hasQuery_ || query_.empty()) {
        return items;
    }
    std::string_view rest = query_;
    while (true) {
        const auto amp = rest.find('&');
        const std::string_view item = rest.substr(0, amp);
        const auto equals = item.find('=');
        if (equals == std::string_view::npos) {
            items.push_back({percentDecode(item), std::nullopt});
        } else {
            items.push_back(
                {percentDecode(item.substr(0, equals)), percentDecode(item.substr(equals + 1))});
        }
        if (amp == std::string_view::npos) {
            return items;
        }
        rest.remove_prefix(amp + 1);
    }
}

Url Url::appendingPath(std::string_view relative) const {
    Url url = *this;
    std::string path = path_;
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    while (!relative.empty() && relative.front() == '/') {
        relative.remove_prefix(1);
    }
    url.path_ = path + "/" + std::string(relative);
    url.query_.clear();
    url.hasQuery_ = false;
    url.fragment_.clear();
    url.hasFragment_ = false;
    url.rebuild();
    return url;
}

Url Url::withQueryItems(const QueryItems& items) const {
    Url url = *this;
    url.query_.clear();
    for (const auto& item : items) {
        if (!url.query_.empty()) {
            url.query_ += '&';
        }
        url.query_ += percentEncode(item.name);
        if (item.value) {
            url.query_ += "=" + percentEncode(*item.value);
        }
    }
    url.hasQuery_ = !items.empty();
    url.rebuild();
    return url;
}

std::string Url::percentEncode(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (isUnreserved(u)) {
            out += c;
        } else {
            out += '%';
            out += digits[u >> 4];
            out += digits[u & 0x0f];
        }
    }
    return out;
}

std::string Url::percentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && text.size() - i >= 3 && text::hexDigitValue(text[i + 1]) >= 0 &&
            text::hexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(text::hexDigitValue(text[i + 1]) * 16 +
                                     text::hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace vask
