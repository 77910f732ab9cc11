#include "sources/rich_text_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"
#include "sources/html_text.h"
#include "sources/text_decoding.h"
#include "sources/word_processor_reader.h"

namespace vask {
namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Groups whose text is not part of the document body.
bool isSkippedDestination(std::string_view word) {
    static constexpr std::string_view kSkipped[] = {
        "fonttbl", "colortbl",  "stylesheet", "info",         "pict",
        "header",  "footer",    "headerl",    "headerr",      "footerl",
        "footerr", "object",    "themedata",  "listtable",    "listoverridetable",
        "rsidtbl", "generator", "xmlnstbl",   "latentstyles", "datastore"};
    for (const auto skipped : kSkipped) {
        if (word == skipped) {
            return true;
        }
    }
    return false;
}

// The state of each open RTF group. Runs of equal states are kept as one entry of eight bytes with
// a count, so nesting costs memory only where a group changes the state: a file of nothing but "{"
// keeps one entry however deep it goes, and every other entry needs several bytes of input.
struct RtfGroup {
    bool skipped = false;
    // \uc counts above 65535 are taken as 65535: no fallback text is that long.
    std::uint16_t unicodeSkip = 1;
    bool operator==(const RtfGroup&) const = default;

    static std::uint16_t skipCount(long parameter) {
        return static_cast<std::uint16_t>(std::clamp<long>(parameter, 0, 65535));
    }
};

class RtfGroupStack {
  public:
    const RtfGroup& top() const { return runs_.back().group; }

    // Changes the innermost group, splitting it from the run it shares with its outer groups. A
    // change to the state it already has costs nothing.
    void setTop(const RtfGroup& group) {
        if (group == top()) {
            return;
        }
        if (runs_.back().count > 1) {
            --runs_.back().count;
            runs_.push_back({1, group});
        } else {
            runs_.back().group = group;
        }
    }

    void open() {
        if (runs_.back().count == std::numeric_limits<std::uint32_t>::max()) {
            runs_.push_back({0, top()});
        }
        ++runs_.back().count;
    }

    // The outermost group is never closed: text after a stray "}" is still read.
    void close() {
        if (runs_.back().count > 1) {
            --runs_.back().count;
        } else if (runs_.size() > 1) {
            runs_.pop_back();
        }
    }

  private:
    struct Run {
        std::uint32_t count;
        RtfGroup group;
    };
    static_assert(sizeof(Run) == 8);
    std::vector<Run> runs_{{1, RtfGroup{}}};
};

class RtfReader {
  public:
    explicit RtfReader(std::string_view input) : in_(input) {}

    std::optional<std::string> read() {
        RtfGroupStack groups;
        int pendingSkip = 0;
        while (pos_ < in_.size()) {
            const char c = in_[pos_++];
            // A group's end ends the fallback of a \u inside it, and a new group is no fallback.
            if (c == '{') {
                flushBytes();
                groups.open();
                pendingSkip = 0;
                continue;
            }
            if (c == '}') {
                flushBytes();
                groups.close();
                pendingSkip = 0;
                continue;
            }
            const RtfGroup group = groups.top();
            if (c == '\r' || c == '\n') {
                continue;
            }
            if (c != '\\') {
                if (pendingSkip > 0) {
                    --pendingSkip;
                } else if (!group.skipped) {
                    bytes_.push_back(c);
                }
                continue;
            }
            if (pos_ >= in_.size()) {
                break;
            }
            const char next = in_[pos_];
            if (next == '\'') {
                if (pos_ + 2 >= in_.size()) {
                    break;
                }
                const int high = text::hexDigitValue(in_[pos_ + 1]);
                const int low = text::hexDigitValue(in_[pos_ + 2]);
                pos_ += 3;
                if (high < 0 || low < 0) {
                    continue;
                }
                if (pendingSkip > 0) {
                    --pendingSkip;
                } else if (!group.skipped) {
                    bytes_.push_back(static_cast<char>(high * 16 + low));
                }
                continue;
            }
            if (!isAsciiLetter(next)) {
                ++pos_;
                if (next == '*') {
                    groups.setTop({true, group.unicodeSkip});
                } else if (!group.skipped && (next == '\\' || next == '{' || next == '}')) {
                    bytes_.push_back(next);
                } else if (!group.skipped && next == '~') {
                    flushBytes();
                    TextDecoding::appendUtf8(out_, U'\u00A0');
                }
                continue;
            }
            const auto start = pos_;
            while (pos_ < in_.size() && isAsciiLetter(in_[pos_])) {
                ++pos_;
            }
            const auto word = in_.substr(start, pos_ - start);
            std::optional<long> parameter;
            const auto numberStart = pos_;
            if (pos_ < in_.size() && in_[pos_] == '-') {
                ++pos_;
            }
            while (pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9' &&
                   pos_ - numberStart < 10) {
                ++pos_;
            }
            if (pos_ > numberStart && !(pos_ == numberStart + 1 && in_[numberStart] == '-')) {
                parameter = std::stol(std::string(in_.substr(numberStart, pos_ - numberStart)));
            }
            if (pos_ < in_.size() && in_[pos_] == ' ') {
                ++pos_;
            }
            if (word == "bin") {
                // Binary data of the parameter's length follows: never markup, never text.
                const auto length = static_cast<std::size_t>(std::max(parameter.value_or(0), 0L));
                pos_ += std::min(length, in_.size() - pos_);
                continue;
            }
            if (isSkippedDestination(word)) {
                groups.setTop({true, group.unicodeSkip});
            } else if (word == "ansicpg" && parameter) {
                codePage_ = "windows-" + std::to_string(*parameter);
            } else if (word == "uc" && parameter) {
                groups.setTop({group.skipped, RtfGroup::skipCount(*parameter)});
            } else if (group.skipped) {
                continue;
            } else if (word == "u" && parameter) {
                flushBytes(KeepSurrogate::yes);
                appendUnit(unicodeUnit(*parameter));
                pendingSkip = group.unicodeSkip;
            } else if (word == "par" || word == "line" || word == "sect" || word == "page" ||
                       word == "row") {
                flushBytes();
                out_.push_back('\n');
            } else if (word == "tab" || word == "cell") {
                flushBytes();
                out_.push_back('\t');
            }
        }
        flushBytes();
        return out_;
    }

  private:
    enum class KeepSurrogate { no, yes };

    // The parameter of \u is a signed 16-bit number, so units above 32767 are written negative.
    // Anything beyond a character (a parameter of up to ten digits) is a replacement character,
    // never bytes that merely look like UTF-8.
    static char32_t unicodeUnit(long parameter) {
        const long unit = parameter < 0 ? parameter + 65536 : parameter;
        if (unit < 0 || unit > 0x10FFFF) {
            return U'\uFFFD';
        }
        return static_cast<char32_t>(unit);
    }

    // \u gives UTF-16 code units: a character beyond the Basic Multilingual Plane comes as a
    // high and a low surrogate, each its own \u; a half without its partner is U+FFFD.
    void appendUnit(char32_t unit) {
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (low && highSurrogate_) {
            TextDecoding::appendUtf8(out_, 0x10000 + ((*highSurrogate_ - 0xD800) << 10) + (unit - 0xDC00));
            highSurrogate_.reset();
            return;
        }
        dropLoneSurrogate();
        if (high) {
            highSurrogate_ = unit;
        } else {
            TextDecoding::appendUtf8(out_, low ? U'\uFFFD' : unit);
        }
    }

    void dropLoneSurrogate() {
        if (highSurrogate_) {
            TextDecoding::appendUtf8(out_, U'\uFFFD');
            highSurrogate_.reset();
        }
    }

    // Literal text and \'hh bytes are in the document's code page.
    void flushBytes(KeepSurrogate keep = KeepSurrogate::no) {
        // Text after a high surrogate separates it from any low one that follows.
        if (keep == KeepSurrogate::no || !bytes_.empty()) {
            dropLoneSurrogate();
        }
        if (bytes_.empty()) {
            return;
        }
        if (auto converted = TextDecoding::convert(bytes_, codePage_.c_str())) {
            out_ += *converted;
        } else {
            out_ += text::toValidUtf8(bytes_);
        }
        bytes_.clear();
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    std::string codePage_ = "windows-1252";
    std::string bytes_;
    std::string out_;
    std::optional<char32_t> highSurrogate_;
};

bool isMarkupSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Whether the start of a file is HTML as browsers sniff it: after white space, one of the HTML
// standard's patterns ("<!DOCTYPE HTML", "<HTML", "<HEAD", "<SCRIPT", "<IFRAME", "<H1", "<DIV",
// "<FONT", "<TABLE", "<A", "<STYLE", "<TITLE", "<B", "<BODY", "<BR", "<P", "<!--"), in any case,
// followed by a space or ">"; or an XML document whose root is an XHTML <html>.
bool startsLikeHTML(std::string_view head) {
    while (!head.empty() && isMarkupSpace(head.front())) {
        head.remove_prefix(1);
    }
    const auto lowered = text::asciiLowered(head.substr(0, 16));
    for (const std::string_view pattern :
         {"<!doctype html", "<html", "<head", "<script", "<iframe", "<h1", "<div", "<font",
          "<table", "<a", "<style", "<title", "<b", "<body", "<br", "<p", "<!--"}) {
        if (lowered.size() > pattern.size() && lowered.starts_with(pattern) &&
            (lowered[pattern.size()] == ' ' || lowered[pattern.size()] == '>')) {
            return true;
        }
    }
    if (head.starts_with("<?xml")) {
        return text::asciiLowered(head.substr(0, 4096)).find("<html") != std::string::npos;
    }
    return false;
}

bool looksLikeHTML(std::string_view bytes) {
    constexpr std::size_t kHead = std::size_t{64} * 1024;
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        const auto head = TextDecoding::convertReplacing(
            bytes.substr(2, std::min(bytes.size() - 2, kHead) & ~std::size_t{1}),
            bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE");
        return head && startsLikeHTML(*head);
    }
    auto head = bytes.substr(0, kHead);
    if (head.starts_with("\xEF\xBB\xBF")) {
        head.remove_prefix(3);
    }
    return startsLikeHTML(head);
}

// The page in UTF-8, in the encoding a browser would pick: the one it declares, else UTF-8 when
// the bytes are UTF-8, else a guess from the text it shows. `converted` holds it when it is not
// the bytes themselves.
std::string_view decodedPage(std::string_view bytes, std::string& converted,
                             const std::stop_token& stop) {
    auto encoding = TextDecoding::declaredMarkupEncoding(bytes);
    if (!encoding) {
        // The tokenizer passes bytes above 127 through as they are, so the text it finds in the
        // undecoded page is the page's text in its own encoding.
        encoding = text::isValidUtf8(bytes)
                       ? "UTF-8"
                       : TextDecoding::guessedMarkupEncoding(HtmlText::text(bytes, stop));
    }
    if (*encoding == "UTF-8") {
        if (bytes.starts_with("\xEF\xBB\xBF")) {
            bytes.remove_prefix(3);
        }
        if (text::isValidUtf8(bytes)) {
            return bytes;
        }
        converted = text::toValidUtf8(bytes);
        return converted;
    }
    if (encoding->starts_with("UTF-16")) {
        bytes.remove_prefix(2);
    }
    if (auto text = TextDecoding::convertReplacing(bytes, encoding->c_str())) {
        converted = std::move(*text);
    } else {
        converted = text::toValidUtf8(bytes);
    }
    return converted;
}

}  // namespace

std::optional<std::string> RichTextReader::rtfText(std::string_view bytes) {
    if (!bytes.starts_with("{\\rtf")) {
        return std::nullopt;
    }
    return RtfReader(bytes).read();
}

std::optional<std::string> RichTextReader::htmlText(std::string_view bytes, std::stop_token stop) {
    if (!looksLikeHTML(bytes)) {
        return std::nullopt;
    }
    return htmlPageText(bytes, std::move(stop));
}

std::string RichTextReader::htmlPageText(std::string_view bytes, std::stop_token stop) {
    std::string converted;
    const auto page = decodedPage(bytes, converted, stop);
    auto out = HtmlText::text(page, std::move(stop));
    converted = std::string();
    const auto kept = text::trimmed(out);
    const auto start = static_cast<std::size_t>(kept.data() - out.data());
    out.resize(start + kept.size());
    out.erase(0, start);
    return out;
}

std::optional<std::string> RichTextReader::plainText(std::string_view bytes, std::stop_token stop) {
    if (auto rtf = rtfText(bytes)) {
        return rtf;
    }
    if (auto document =
            WordProcessorReader::documentText(bytes, WordProcessorReader::kMaxEntryBytes, stop)) {
        return document;
    }
    return htmlText(bytes, std::move(stop));
}

}  // namespace vask
