#include "sources/rich_text_reader.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

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
#include "sources/markup_attribute_bound.h"
#include "sources/text_decoding.h"
#include "sources/word_processor_reader.h"

namespace vask {
namespace {

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

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
            if (c == '{') {
                flushBytes();
                groups.open();
                continue;
            }
            if (c == '}') {
                flushBytes();
                groups.close();
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
                    appendUtf8(out_, U'\u00A0');
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
            appendUtf8(out_, 0x10000 + ((*highSurrogate_ - 0xD800) << 10) + (unit - 0xDC00));
            highSurrogate_.reset();
            return;
        }
        dropLoneSurrogate();
        if (high) {
            highSurrogate_ = unit;
        } else {
            appendUtf8(out_, low ? U'\uFFFD' : unit);
        }
    }

    void dropLoneSurrogate() {
        if (highSurrogate_) {
            appendUtf8(out_, U'\uFFFD');
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

// `prefix` is lower case.
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text::asciiLowered(text.substr(0, prefix.size())) == prefix;
}

bool looksLikeHTML(std::string_view bytes) {
    auto head = text::trimmed(bytes.substr(0, 4096));
    if (head.starts_with("\xEF\xBB\xBF")) {
        head.remove_prefix(3);
    }
    for (const auto marker : {"<!doctype html", "<html", "<head", "<body", "<?xml"}) {
        if (startsWithIgnoringCase(head, marker)) {
            return marker != std::string_view("<?xml") ||
                   head.find("<html") != std::string_view::npos;
        }
    }
    return false;
}

bool isBlockElement(std::string_view name) {
    static constexpr std::string_view kBlocks[] = {
        "p",  "div",   "br", "li", "tr",      "h1",      "h2",     "h3",     "h4",         "h5",
        "h6", "table", "ul", "ol", "section", "article", "header", "footer", "blockquote", "pre"};
    for (const auto block : kBlocks) {
        if (name == block) {
            return true;
        }
    }
    return false;
}

// The text of an HTML document as the parser streams it: no tree is built, so memory follows
// the text, not the markup (a tree of millions of empty elements is tens of times the file).
class HtmlText {
  public:
    static void startElement(void* context, const xmlChar* name, const xmlChar**) {
        static_cast<HtmlText*>(context)->open(reinterpret_cast<const char*>(name));
    }
    static void endElement(void* context, const xmlChar* name) {
        static_cast<HtmlText*>(context)->close(reinterpret_cast<const char*>(name));
    }
    static void characters(void* context, const xmlChar* text, int length) {
        auto& self = *static_cast<HtmlText*>(context);
        if (self.hidden_ == 0 && length > 0) {
            self.out_.append(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
        }
    }

    std::string& text() { return out_; }

  private:
    static bool isHidden(std::string_view name) {
        return name == "script" || name == "style" || name == "head";
    }

    void open(std::string_view name) {
        if (isHidden(name)) {
            ++hidden_;
        } else if (hidden_ == 0 && isBlockElement(name)) {
            endLine();
        }
    }

    void close(std::string_view name) {
        if (isHidden(name)) {
            hidden_ -= hidden_ > 0 ? 1 : 0;
        } else if (hidden_ == 0 && isBlockElement(name)) {
            endLine();
        }
    }

    void endLine() {
        if (!out_.empty() && out_.back() != '\n') {
            out_.push_back('\n');
        }
    }

    std::string out_;
    // How many hidden elements (scripts, styles, the head) are open around the parser.
    std::size_t hidden_ = 0;
};

struct PushParserDeleter {
    void operator()(htmlParserCtxt* context) const { htmlFreeParserCtxt(context); }
};

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
    // Attributes past these are dropped before the parser sees them (its cost grows with the
    // square of an element's attributes); no text is in them.
    constexpr std::size_t kMaxAttributes = 32;
    constexpr std::size_t kPieceBytes = 64 * 1024;
    htmlSAXHandler handler{};
    handler.startElement = &HtmlText::startElement;
    handler.endElement = &HtmlText::endElement;
    handler.characters = &HtmlText::characters;
    handler.cdataBlock = &HtmlText::characters;
    HtmlText reader;
    // A page that is not UTF-8 and names no encoding of its own is read as Latin-1 from its
    // first byte: the parser would switch only at the first byte it cannot read, and drops that
    // byte when it comes right after an ampersand.
    const bool undeclaredLatin =
        !text::isValidUtf8(bytes) &&
        text::asciiLowered(bytes.substr(0, 4096)).find("charset") == std::string::npos &&
        !bytes.starts_with("\xFF\xFE") && !bytes.starts_with("\xFE\xFF");
    const std::unique_ptr<htmlParserCtxt, PushParserDeleter> parser(htmlCreatePushParserCtxt(
        &handler, &reader, nullptr, 0, nullptr,
        undeclaredLatin ? XML_CHAR_ENCODING_8859_1 : XML_CHAR_ENCODING_NONE));
    if (!parser) {
        return std::nullopt;
    }
    htmlCtxtUseOptions(parser.get(), HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                                         HTML_PARSE_NOBLANKS);
    MarkupAttributeBound attributes(MarkupAttributeBound::Dialect::html, kMaxAttributes);
    std::string piece;
    for (std::size_t at = 0; at < bytes.size(); at += kPieceBytes) {
        if (stop.stop_requested()) {
            throw Error("Reading the document was cancelled");
        }
        piece.assign(bytes.substr(at, kPieceBytes));
        const auto kept = attributes.filter(piece.data(), piece.size());
        htmlParseChunk(parser.get(), piece.data(), static_cast<int>(kept), 0);
    }
    htmlParseChunk(parser.get(), nullptr, 0, 1);
    auto& out = reader.text();
    if (parser->disableSAX != 0) {
        // The parser gave up before the end (it never does on bad markup, only when it runs out
        // of what it may hold): the text read so far is kept, and says it stops short.
        out += "\n\n[The rest of this document could not be read.]";
    }
    // On a page that is not UTF-8 the parser's output is not always UTF-8 either (an "&" or "<"
    // before a byte above 127 is passed on as it is).
    if (!text::isValidUtf8(out)) {
        out = text::toValidUtf8(out);
    }
    return std::string(text::trimmed(out));
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
