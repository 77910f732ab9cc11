#include "chat/inline_markdown.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vask::inline_markdown {

namespace {

// Counts the renderer's steps (see renderSteps).
thread_local std::size_t steps = 0;

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
    steps += text.size();
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

std::size_t backtickRun(std::string_view s, std::size_t i) {
    std::size_t run = 0;
    while (i + run < s.size() && s[i + run] == '`') {
        ++steps;
        ++run;
    }
    return run;
}

// Where code spans end. A span opened by a run of backticks ends at the next run of the same
// length on its line, so a fenced block keeps its fences as written. Looked up, never scanned:
// a line of unmatched runs costs no more than a line of text.
class CodeSpans {
  public:
    explicit CodeSpans(std::string_view s) {
        for (std::size_t i = 0; i < s.size(); ++i) {
            ++steps;
            if (s[i] == '\n') {
                newlines_.push_back(i);
            } else if (s[i] == '`') {
                const std::size_t run = backtickRun(s, i);
                runs_[run].push_back(i);
                i += run - 1;
            }
        }
    }

    // The start of the run closing the span that `run` backticks open at `start`, or npos.
    std::size_t end(std::size_t start, std::size_t run) const {
        ++steps;
        const auto sameLength = runs_.find(run);
        if (sameLength == runs_.end()) {
            return std::string_view::npos;
        }
        const auto& starts = sameLength->second;
        const auto next = std::upper_bound(starts.begin(), starts.end(), start);
        if (next == starts.end()) {
            return std::string_view::npos;
        }
        const auto newline = std::upper_bound(newlines_.begin(), newlines_.end(), start);
        if (newline != newlines_.end() && *newline < *next) {
            return std::string_view::npos;
        }
        return *next;
    }

  private:
    // The starts of the longest runs of backticks, by length, in text order.
    std::unordered_map<std::size_t, std::vector<std::size_t>> runs_;
    std::vector<std::size_t> newlines_;
};

// For each '[' the bracket that closes it (skipping escapes, code spans and nested brackets),
// and for each '(' the parenthesis that closes it before any blank: what a link needs, found
// in one pass each instead of a scan to the end of the text for every unmatched bracket.
class LinkBrackets {
  public:
    LinkBrackets(std::string_view s, const CodeSpans& spans)
        : close_(s.size(), std::string_view::npos) {
        std::vector<std::size_t> open;
        for (std::size_t i = 0; i < s.size(); ++i) {
            ++steps;
            const char c = s[i];
            if (c == '\\' && i + 1 < s.size()) {
                ++i;
            } else if (c == '`') {
                const std::size_t run = backtickRun(s, i);
                const std::size_t end = spans.end(i, run);
                i = end == std::string_view::npos ? i + run - 1 : end + run - 1;
            } else if (c == '[') {
                open.push_back(i);
            } else if (c == ']' && !open.empty()) {
                close_[open.back()] = i;
                open.pop_back();
            }
        }
        open.clear();
        for (std::size_t i = 0; i < s.size(); ++i) {
            ++steps;
            const char c = s[i];
            if (isBlank(c)) {
                open.clear();
            } else if (c == '(') {
                open.push_back(i);
            } else if (c == ')' && !open.empty()) {
                close_[open.back()] = i;
                open.pop_back();
            }
        }
    }

    // The closing bracket of the link text opening at `open`, or npos.
    std::size_t textEnd(std::size_t open) const { return close_[open]; }
    // The closing parenthesis of a destination opening at `open`, or npos.
    std::size_t destinationEnd(std::size_t open) const { return close_[open]; }

  private:
    std::vector<std::size_t> close_;
};

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
    const CodeSpans spans(s);
    std::optional<LinkBrackets> brackets;
    if (linksAllowed) {
        brackets.emplace(s, spans);
    }
    std::vector<Token> tokens;
    const auto html = [&tokens]() -> std::string& {
        if (tokens.empty() || tokens.back().kind != Token::Kind::html) {
            tokens.push_back({});
        }
        return tokens.back().html;
    };
    std::size_t i = 0;
    while (i < s.size()) {
        ++steps;
        const char c = s[i];
        if (c == '\\' && i + 1 < s.size() && isAsciiPunctuation(s[i + 1])) {
            appendEscaped(html(), s.substr(i + 1, 1));
            i += 2;
        } else if (c == '`') {
            const std::size_t run = backtickRun(s, i);
            const std::size_t end = spans.end(i, run);
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
            const std::size_t close = brackets->textEnd(i);
            const std::size_t end =
                close != std::string_view::npos && close + 1 < s.size() && s[close + 1] == '('
                    ? brackets->destinationEnd(close + 1)
                    : std::string_view::npos;
            // A destination with a backtick is no web address; refusing it keeps the one pass
            // that found the brackets in step with this one (a code span cannot start inside a
            // link's destination and run past it).
            if (end == std::string_view::npos || end == close + 2 ||
                s.substr(close + 2, end - close - 2).find('`') != std::string_view::npos) {
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
    // Whether an opener can take a closer depends on the opener and on the closer's marker,
    // length and sides only. After a search fails, the openers it passed fail every later
    // closer of the same kind: the next search of that kind stops above them, so a text of
    // unmatched markers is not searched again and again.
    std::unordered_map<int, std::size_t> searchedBelow;
    const auto kindOf = [](const Token& closer) {
        if (closer.marker == '~') {
            return closer.count >= 2 ? 1 : 0;
        }
        return (closer.marker == '*' ? 10 : 20) + (closer.canOpen ? 3 : 0) +
               static_cast<int>(closer.runLength % 3);
    };
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        Token& closer = tokens[i];
        if (closer.kind != Token::Kind::delimiter) {
            continue;
        }
        while (closer.canClose && closer.count > 0) {
            const int kind = kindOf(closer);
            const auto searched = searchedBelow.find(kind);
            const std::size_t bottom = searched == searchedBelow.end() ? 0 : searched->second;
            const auto last =
                openers.rbegin() + static_cast<std::ptrdiff_t>(openers.size() - bottom);
            auto found = std::find_if(openers.rbegin(), last, [&](std::size_t index) {
                ++steps;
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
            if (found == last) {
                searchedBelow[kind] = openers.size();
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
            // Openers pushed later into the freed places are new to every search.
            for (auto& [searchKind, below] : searchedBelow) {
                ++steps;
                below = std::min(below, openers.size());
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

std::size_t renderSteps(std::string_view markdown) {
    steps = 0;
    (void)toRichText(markdown);
    return steps;
}

std::string toRichText(std::string_view markdown) {
    return "<span style=\"white-space:pre-wrap\">" + render(markdown, true) + "</span>";
}

}  // namespace vask::inline_markdown
