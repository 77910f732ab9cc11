#include "chat/inline_markdown.h"

#include <algorithm>
#include <vector>

namespace vask::inline_markdown {

namespace {

bool isAsciiPunctuation(char c) {
    return std::string_view("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~").find(c) != std::string_view::npos;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isWordCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u >= 0x80;
}

void appendEscaped(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            case '\r':
                if (i + 1 < text.size() && text[i + 1] == '\n') {
                    break;
                }
                out += "<br>";
                break;
            case '\n':
                out += "<br>";
                break;
            default:
                out += c;
        }
    }
}

// The end of the code span opening at `start` (a run of `run` backticks), or npos. A span ends
// at its line, so a fenced block keeps its fences as written.
std::size_t codeSpanEnd(std::string_view s, std::size_t start, std::size_t run) {
    std::size_t i = start + run;
    while (i < s.size()) {
        if (s[i] == '\n') {
            return std::string_view::npos;
        }
        if (s[i] != '`') {
            ++i;
            continue;
        }
        std::size_t length = 0;
        while (i + length < s.size() && s[i + length] == '`') {
            ++length;
        }
        if (length == run) {
            return i;
        }
        i += length;
    }
    return std::string_view::npos;
}

std::size_t backtickRun(std::string_view s, std::size_t i) {
    std::size_t run = 0;
    while (i + run < s.size() && s[i + run] == '`') {
        ++run;
    }
    return run;
}

// The closing bracket of the link text opening at `open`, skipping escapes, code spans and
// nested brackets; npos when there is none.
std::size_t linkTextEnd(std::string_view s, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            ++i;
        } else if (c == '`') {
            const std::size_t run = backtickRun(s, i);
            const std::size_t end = codeSpanEnd(s, i, run);
            i = end == std::string_view::npos ? i + run - 1 : end + run - 1;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']' && --depth == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

// The closing parenthesis of a link destination opening at `open`, with balanced parentheses
// and no blanks; npos when the text there is no destination.
std::size_t destinationEnd(std::string_view s, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < s.size(); ++i) {
        const char c = s[i];
        if (isBlank(c)) {
            return std::string_view::npos;
        }
        if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

struct Token {
    enum class Kind { html, delimiter };
    Kind kind = Kind::html;
    std::string html;
    char marker = 0;
    std::size_t count = 0;
    std::size_t runLength = 0;
    bool canOpen = false;
    bool canClose = false;
    std::vector<std::string> openTags;
    std::vector<std::string> closeTags;
};

std::string render(std::string_view s, bool linksAllowed);

std::vector<Token> tokenize(std::string_view s, bool linksAllowed) {
    std::vector<Token> tokens;
    const auto html = [&tokens]() -> std::string& {
        if (tokens.empty() || tokens.back().kind != Token::Kind::html) {
            tokens.push_back({});
        }
        return tokens.back().html;
    };
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\\' && i + 1 < s.size() && isAsciiPunctuation(s[i + 1])) {
            appendEscaped(html(), s.substr(i + 1, 1));
            i += 2;
        } else if (c == '`') {
            const std::size_t run = backtickRun(s, i);
            const std::size_t end = codeSpanEnd(s, i, run);
            if (end == std::string_view::npos) {
                html() += std::string(run, '`');
                i += run;
            } else {
                auto& out = html();
                out += "<code>";
                appendEscaped(out, s.substr(i + run, end - i - run));
                out += "</code>";
                i = end + run;
            }
        } else if (c == '[' && linksAllowed) {
            const std::size_t close = linkTextEnd(s, i);
            const std::size_t end =
                close != std::string_view::npos && close + 1 < s.size() && s[close + 1] == '('
                    ? destinationEnd(s, close + 1)
                    : std::string_view::npos;
            if (end == std::string_view::npos || end == close + 2) {
                html() += "[";
                ++i;
                continue;
            }
            auto& out = html();
            out += "<a href=\"";
            appendEscaped(out, s.substr(close + 2, end - close - 2));
            out += "\">";
            out += render(s.substr(i + 1, close - i - 1), false);
            out += "</a>";
            i = end + 1;
        } else if (c == '*' || c == '_' || c == '~') {
            std::size_t run = 0;
            while (i + run < s.size() && s[i + run] == c) {
                ++run;
            }
            const char before = i > 0 ? s[i - 1] : ' ';
            const char after = i + run < s.size() ? s[i + run] : ' ';
            Token token;
            token.kind = Token::Kind::delimiter;
            token.marker = c;
            token.count = run;
            token.runLength = run;
            token.canOpen = !isBlank(after);
            token.canClose = !isBlank(before);
            if (c == '_') {
                // No emphasis inside words with underscores: snake_case_names stay as written.
                token.canOpen = token.canOpen && !isWordCharacter(before);
                token.canClose = token.canClose && !isWordCharacter(after);
            }
            tokens.push_back(std::move(token));
            i += run;
        } else {
            const std::size_t next = s.find_first_of("\\`[*_~", i + 1);
            const std::size_t end = next == std::string_view::npos ? s.size() : next;
            appendEscaped(html(), s.substr(i, end - i));
            i = end;
        }
    }
    return tokens;
}

// Pairs closers with the nearest openers of the same marker, innermost first; openers left
// between a pair can no longer match and stay literal, so the tags always nest.
void matchDelimiters(std::vector<Token>& tokens) {
    std::vector<std::size_t> openers;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        Token& closer = tokens[i];
        if (closer.kind != Token::Kind::delimiter) {
            continue;
        }
        while (closer.canClose && closer.count > 0) {
            auto found = std::find_if(openers.rbegin(), openers.rend(), [&](std::size_t index) {
                const Token& opener = tokens[index];
                if (opener.marker != closer.marker || opener.count == 0) {
                    return false;
                }
                if (closer.marker == '~') {
                    return opener.count >= 2 && closer.count >= 2;
                }
                // A run that could both open and close pairs only with runs whose lengths do
                // not add up to a multiple of three, so "**a*" does not close inside "**~~*".
                const std::size_t sum = opener.runLength + closer.runLength;
                return !((opener.canClose || closer.canOpen) && sum % 3 == 0 &&
                         (opener.runLength % 3 != 0 || closer.runLength % 3 != 0));
            });
            if (found == openers.rend()) {
                break;
            }
            Token& opener = tokens[*found];
            const auto used = std::min<std::size_t>({opener.count, closer.count, 2});
            const std::string tag = closer.marker == '~' ? "s" : (used == 2 ? "b" : "i");
            opener.openTags.push_back("<" + tag + ">");
            closer.closeTags.push_back("</" + tag + ">");
            opener.count -= used;
            closer.count -= used;
            openers.erase(found.base(), openers.end());
            if (opener.count == 0) {
                openers.pop_back();
            }
        }
        if (closer.canOpen && closer.count > 0) {
            openers.push_back(i);
        }
    }
}

std::string render(std::string_view s, bool linksAllowed) {
    auto tokens = tokenize(s, linksAllowed);
    matchDelimiters(tokens);
    std::string out;
    for (const auto& token : tokens) {
        if (token.kind == Token::Kind::html) {
            out += token.html;
            continue;
        }
        for (const auto& tag : token.closeTags) {
            out += tag;
        }
        out += std::string(token.count, token.marker);
        std::for_each(token.openTags.rbegin(), token.openTags.rend(),
                      [&out](const std::string& tag) { out += tag; });
    }
    return out;
}

}  // namespace

std::string toRichText(std::string_view markdown) {
    return "<span style=\"white-space:pre-wrap\">" + render(markdown, true) + "</span>";
}

}  // namespace vask::inline_markdown
