#include "sources/html_text.h"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/logger.h"
#include "platform/text.h"
#include "sources/decoding/text_decoding.h"
#include "sources/list_count.h"
#include "sources/list_number_format.h"

namespace vask {
namespace {

constexpr std::size_t kStopCheckBytes = std::size_t{64} * 1024;
// Longer names are no element this reader tells apart.
constexpr std::size_t kMaxNameKept = 16;
// A named reference is at most this long, its semicolon included
// ("&CounterClockwiseContourIntegral;").
constexpr std::size_t kMaxReferenceName = 33;

struct NamedReference {
    std::string_view name;
    char32_t first;
    char32_t second;
};

constexpr NamedReference kNamedReferences[] = {
#include "sources/html_text_entities.inc"
};

static_assert(std::is_sorted(std::begin(kNamedReferences), std::end(kNamedReferences),
                             [](const NamedReference& a, const NamedReference& b) {
                                 return a.name < b.name;
                             }));

// A numeric reference to a C1 control stands for the windows-1252 character of that byte
// ("&#150;" is "–"), as the standard's tokenizer reads it.
char32_t c1Replaced(char32_t value) {
    static constexpr char32_t kWindows1252[32] = {
        0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    return value >= 0x80 && value <= 0x9F ? kWindows1252[value - 0x80] : value;
}

const NamedReference* namedReference(std::string_view name) {
    const auto* end = std::end(kNamedReferences);
    const auto* it = std::lower_bound(
        std::begin(kNamedReferences), end, name,
        [](const NamedReference& entry, std::string_view key) { return entry.name < key; });
    return it != end && it->name == name ? it : nullptr;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

char lowered(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
    return text.size() == lowerCase.size() &&
           std::equal(text.begin(), text.end(), lowerCase.begin(),
                      [](char a, char b) { return lowered(a) == b; });
}

bool isOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Elements shown on lines of their own.
bool isBlock(std::string_view name) {
    return isOneOf(
        name, {"address", "article", "aside",    "blockquote", "br",       "caption",    "dd",
               "details", "div",     "dl",       "dt",         "fieldset", "figcaption", "figure",
               "footer",  "form",    "h1",       "h2",         "h3",       "h4",         "h5",
               "h6",      "header",  "hr",       "li",         "listing",  "main",       "menu",
               "nav",     "ol",      "optgroup", "option",     "p",        "pre",        "section",
               "summary", "table",   "tr",       "ul",         "xmp"});
}

// Elements without content or end tag.
bool isVoid(std::string_view name) {
    return isOneOf(name, {"area", "base", "br", "col", "embed", "hr", "img", "input", "link",
                          "meta", "param", "source", "track", "wbr"});
}

// Elements whose end tag a page may leave out.
bool hasOptionalEnd(std::string_view name) {
    return isOneOf(name, {"p", "li", "dt", "dd", "option", "optgroup", "tr", "td", "th", "thead",
                          "tbody", "tfoot", "colgroup", "rb", "rt", "rp"});
}

// Elements whose content is raw text up to their end tag (no tags, no references), left out.
bool isHiddenRawText(std::string_view name) {
    return isOneOf(name, {"script", "style", "iframe", "noembed", "noframes"});
}

// The text the page shows, as it is built.
const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "rich-text");
    return instance;
}

// The attributes of a tag that number lists (`start`, `type` and `reversed` of an <ol>, `type`
// of a <ul>, `value` of an <li>, and the inline style that may name a list-style-type), as
// views of the page.
struct ListAttributes {
    std::optional<std::string_view> start;
    std::optional<std::string_view> type;
    std::optional<std::string_view> value;
    std::optional<std::string_view> style;
    bool reversed = false;
    // An <input> that is checked (a task list's done item is a checked checkbox).
    bool checked = false;
};

// How the items of a list are marked: a bullet, a number format, or nothing.
struct ListMarking {
    std::string_view bullet;
    std::string_view format;
};

// The marking a CSS list-style-type keyword names, as browsers draw it; nothing for a keyword
// not known here (which leaves the list as its tag says).
std::optional<ListMarking> listStyleMarking(std::string_view keyword) {
    static constexpr std::pair<std::string_view, ListMarking> kKeywords[] = {
        {"none", {"", ""}},
        {"disc", {"\u2022", ""}},
        {"circle", {"\u25E6", ""}},
        {"square", {"\u25AA", ""}},
        {"disclosure-open", {"\u25BE", ""}},
        {"disclosure-closed", {"\u25B8", ""}},
    };
    for (const auto& [name, marking] : kKeywords) {
        if (keyword == name) {
            return marking;
        }
    }
    if (const auto style = ListNumberFormat::counterStyle(keyword)) {
        return ListMarking{"", *style};
    }
    return std::nullopt;
}

// The list-style-type an inline style gives (by `list-style-type`, or a known keyword of the
// `list-style` shorthand), the last declaration winning as in a browser.
std::optional<ListMarking> inlineListStyle(std::string_view style) {
    std::optional<ListMarking> found;
    std::size_t at = 0;
    while (at < style.size()) {
        const auto end = std::min(style.find(';', at), style.size());
        const auto declaration = text::asciiLowered(style.substr(at, end - at));
        at = end + 1;
        const auto colon = declaration.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const auto property = text::trimmed(std::string_view(declaration).substr(0, colon));
        if (property != "list-style-type" && property != "list-style") {
            continue;
        }
        auto value = std::string_view(declaration).substr(colon + 1);
        value = value.substr(0, std::min(value.find('!'), value.size()));
        // Each word of the value: the shorthand's type is whichever word is one.
        std::size_t word = 0;
        while (word < value.size()) {
            while (word < value.size() && isSpace(value[word])) {
                ++word;
            }
            auto wordEnd = word;
            while (wordEnd < value.size() && !isSpace(value[wordEnd])) {
                ++wordEnd;
            }
            if (const auto marking = listStyleMarking(value.substr(word, wordEnd - word))) {
                found = marking;
                break;
            }
            word = wordEnd;
        }
    }
    return found;
}

// An open <ol>, <ul> or <menu>: the marking of its items, and the count of its numbers.
struct List {
    std::string name;
    ListMarking marking;
    long start = 1;
    long step = 1;
    ListCount count;
    // Where its items are counted ahead, for a reversed list counted by the first pass.
    std::optional<std::size_t> counted;
};

class TextWriter {
  public:
    void text(std::string_view text) {
        if (hidden_ > 0 || discarding_) {
            return;
        }
        if (preformatted_ > 0) {
            for (std::size_t i = 0; i < text.size(); ++i) {
                // A line ends at CR LF, CR or LF alike.
                if (text[i] == '\r') {
                    if (i + 1 < text.size() && text[i + 1] == '\n') {
                        continue;
                    }
                    out_.push_back('\n');
                } else {
                    out_.push_back(text[i]);
                }
            }
            return;
        }
        for (const char c : text) {
            if (isSpace(c)) {
                pendingSpace_ = true;
                continue;
            }
            if (pendingSpace_ && !atLineStart()) {
                out_.push_back(' ');
            }
            pendingSpace_ = false;
            out_.push_back(c);
        }
    }

    void character(char32_t c) {
        if (hidden_ > 0) {
            return;
        }
        std::string bytes;
        decoding::appendUtf8(bytes, c);
        text(bytes);
    }

    void lineBreak() { endRun('\n'); }

    void hardLineBreak() {
        markerEnd_ = std::string::npos;
        endRun('\n');
    }

    // A list item's number or bullet, and the tab after it, at the start of its line; the
    // block that opens the item, if one does ("<li><p>"), keeps the item's text on that line,
    // and so does a list that opens it: its first item's marker follows the item's ("1.\t1.\t").
    void marker(std::string_view marker) {
        if (hidden_ > 0 || discarding_) {
            return;
        }
        pendingSpace_ = false;
        const bool nested = out_.size() == nestedListAt_;
        nestedListAt_ = std::string::npos;
        if (!nested && !out_.empty() && out_.back() != '\n') {
            out_.push_back('\n');
        }
        if (marker.empty()) {
            return;
        }
        out_ += marker;
        out_.push_back('\t');
        markerEnd_ = out_.size();
    }

    // A list begins, and ends: one that begins right after an item's marker opens that item.
    void listOpened() {
        nestedListAt_ = out_.size() == markerEnd_ ? markerEnd_ : std::string::npos;
    }
    void listClosed() { nestedListAt_ = std::string::npos; }

    // Nothing is written, only what is hidden followed (a pass that counts list items).
    void discard() { discarding_ = true; }

    bool hidden() const { return hidden_ > 0; }

    // Cells of a row are kept apart, so that "Subtotal" and "39.98" never read as one word.
    void cellBreak() { endRun('\t'); }

    void hide() { ++hidden_; }
    void unhide() { hidden_ -= hidden_ > 0 ? 1 : 0; }
    void preformat() { ++preformatted_; }
    void unpreformat() { preformatted_ -= preformatted_ > 0 ? 1 : 0; }

    std::string take() { return std::move(out_); }

  private:
    // Ends the text so far with `separator`, unless it is empty or at a line's start.
    void endRun(char separator) {
        if (hidden_ > 0 || discarding_) {
            return;
        }
        pendingSpace_ = false;
        if (out_.size() == markerEnd_) {
            return;
        }
        if (!out_.empty() && out_.back() != '\n') {
            out_.push_back(separator);
        }
    }

    bool atLineStart() const { return out_.empty() || out_.back() == '\n' || out_.back() == '\t'; }

    std::string out_;
    bool pendingSpace_ = false;
    bool discarding_ = false;
    // Where the last list marker ends: a line break right after it is no break; and where a
    // list opened right after it, until its first item shows or it ends.
    std::size_t markerEnd_ = std::string::npos;
    std::size_t nestedListAt_ = std::string::npos;
    std::size_t hidden_ = 0;
    std::size_t preformatted_ = 0;
};

class Tokenizer {
  public:
    Tokenizer(std::string_view in, std::stop_token stop) : in_(in), stop_(std::move(stop)) {}

    // The items each reversed list without a start shows, by where its start tag ends, in
    // order of place: the page read once more without writing, items counted as they show.
    static std::vector<std::pair<std::size_t, long>> reversedItems(std::string_view in,
                                                                   std::stop_token stop) {
        Tokenizer counter(in, std::move(stop));
        counter.counting_ = true;
        counter.out_.discard();
        counter.run();
        return std::move(counter.itemCounts_);
    }

    std::string run() {
        while (pos_ < in_.size()) {
            checkStop();
            if (in_[pos_] == '<') {
                tagOpen();
            } else {
                characters(std::min(in_.find('<', pos_), in_.size()));
            }
        }
        if (unended_ && !counting_) {
            // As in a browser, what follows an unended construct is not text; the log says so.
            logger().info("The page ends inside " + *unended_ + " begun at byte " +
                          std::to_string(unendedAt_) + ": its last " +
                          std::to_string(in_.size() - unendedAt_) + " bytes are not text");
        }
        return out_.take();
    }

  private:
    void unended(std::string what) {
        unended_ = std::move(what);
        unendedAt_ = pos_;
    }

    void checkStop() { checkStopAt(pos_); }

    // The stop token, looked at once for every kStopCheckBytes the reading passes, wherever in
    // the page it is (a tag's attributes, a comment, a run of text).
    void checkStopAt(std::size_t at) {
        if (at >= nextStopCheck_) {
            if (stop_.stop_requested()) {
                throw Error("Reading the document was cancelled");
            }
            nextStopCheck_ = at + kStopCheckBytes;
        }
    }

    // Where a piece of the text from `at` to `end` may end, at most kStopCheckBytes on: never
    // between a CR and its LF, which a preformatted text reads as one line break.
    std::size_t pieceEnd(std::size_t at, std::size_t end) const {
        auto piece = std::min(end, at + kStopCheckBytes);
        if (piece < end && in_[piece - 1] == '\r') {
            ++piece;
        }
        return piece;
    }

    // Text without references, from `pos_` to `end`, written a piece at a time.
    void rawText(std::size_t end) {
        while (pos_ < end) {
            checkStop();
            const auto piece = pieceEnd(pos_, end);
            out_.text(in_.substr(pos_, piece - pos_));
            pos_ = piece;
        }
    }

    // Text with character references, up to `end`.
    void characters(std::size_t end) {
        while (pos_ < end) {
            checkStop();
            // The search is bounded by the piece: a search to the page's end at every run would
            // make a page of many runs and few "&" cost the square of its size.
            const auto piece = pieceEnd(pos_, end);
            const auto ampersand = std::min(in_.substr(0, piece).find('&', pos_), piece);
            out_.text(in_.substr(pos_, ampersand - pos_));
            pos_ = ampersand;
            if (pos_ < piece) {
                characterReference(end);
            }
        }
    }

    // At "&": a numeric or named reference, or else the "&" itself.
    void characterReference(std::size_t end) {
        auto at = pos_ + 1;
        if (at < end && in_[at] == '#') {
            ++at;
            const bool hex = at < end && (in_[at] == 'x' || in_[at] == 'X');
            at += hex ? 1 : 0;
            const auto digits = at;
            // Past U+10FFFF the value stays there: any longer number is no character either.
            char32_t value = 0;
            for (; at < end; ++at) {
                checkStopAt(at);
                const int digit = hex ? text::hexDigitValue(in_[at])
                                      : (isAsciiDigit(in_[at]) ? in_[at] - '0' : -1);
                if (digit < 0) {
                    break;
                }
                value = std::min<char32_t>(value * (hex ? 16 : 10) + static_cast<char32_t>(digit),
                                           0x110000);
            }
            if (at > digits) {
                if (at < end && in_[at] == ';') {
                    ++at;
                }
                const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
                out_.character(value == 0 || value > 0x10FFFF || surrogate ? U'\uFFFD'
                                                                           : c1Replaced(value));
                pos_ = at;
                return;
            }
        } else {
            // The longest name in the table that the text starts with, as the standard's
            // tokenizer matches it: "&notit;" is "¬it;", and the names a page may write
            // without their semicolon ("&copy 2020", "&nbsp") stand without it.
            while (at < end && at - pos_ < kMaxReferenceName &&
                   (isAsciiLetter(in_[at]) || isAsciiDigit(in_[at]))) {
                ++at;
            }
            if (at < end && in_[at] == ';') {
                ++at;
            }
            for (auto length = at - pos_ - 1; length > 0; --length) {
                if (const auto* reference = namedReference(in_.substr(pos_ + 1, length))) {
                    out_.character(reference->first);
                    if (reference->second != 0) {
                        out_.character(reference->second);
                    }
                    pos_ += 1 + length;
                    return;
                }
            }
        }
        out_.text("&");
        ++pos_;
    }

    void tagOpen() {
        const auto next = pos_ + 1 < in_.size() ? in_[pos_ + 1] : '\0';
        if (next == '!') {
            markupDeclaration(pos_ + 2);
        } else if (next == '/') {
            endTagOpen(pos_ + 2);
        } else if (isAsciiLetter(next)) {
            tag(pos_ + 1, false);
        } else if (next == '?') {
            bogusComment(pos_ + 1);
        } else {
            // "<" before anything else ("<5", "<€", "< ", "<_") is text.
            out_.text("<");
            ++pos_;
        }
    }

    void markupDeclaration(std::size_t at) {
        const auto rest = in_.substr(at);
        if (rest.starts_with("--")) {
            comment(at + 2);
        } else {
            // A DOCTYPE, "<![CDATA[" outside foreign content and anything else after "<!" all
            // end at the first ">".
            bogusComment(at);
        }
    }

    void bogusComment(std::size_t at) {
        const auto end = in_.find('>', at);
        if (end == std::string_view::npos) {
            unended("a declaration");
        }
        pos_ = end == std::string_view::npos ? in_.size() : end + 1;
    }

    // After "<!--": ends at "-->" (any number of dashes before ">"), "--!>", or right away at
    // "<!-->" and "<!--->".
    void comment(std::size_t at) {
        if (at < in_.size() && in_[at] == '>') {
            pos_ = at + 1;
            return;
        }
        if (at + 1 < in_.size() && in_[at] == '-' && in_[at + 1] == '>') {
            pos_ = at + 2;
            return;
        }
        while (true) {
            checkStopAt(at);
            const auto dashes = in_.find("--", at);
            if (dashes == std::string_view::npos) {
                unended("a comment");
                pos_ = in_.size();
                return;
            }
            auto after = dashes + 2;
            while (after < in_.size() && in_[after] == '-') {
                ++after;
            }
            if (after < in_.size() && in_[after] == '>') {
                pos_ = after + 1;
                return;
            }
            if (after + 1 < in_.size() && in_[after] == '!' && in_[after + 1] == '>') {
                pos_ = after + 2;
                return;
            }
            at = after;
        }
    }

    void endTagOpen(std::size_t at) {
        if (at >= in_.size()) {
            out_.text("</");
            pos_ = in_.size();
        } else if (isAsciiLetter(in_[at])) {
            tag(at, true);
        } else if (in_[at] == '>') {
            pos_ = at + 1;
        } else {
            bogusComment(at);
        }
    }

    // At the tag's name: reads the tag to its ">", passing over the attributes as the standard's
    // attribute states do (only a value in quotes may hold a ">"). Of the attributes only what
    // hides the element is kept: `hidden`, or `display: none` in its style.
    void tag(std::size_t at, bool end) {
        std::string name;
        while (at < in_.size() && !isSpace(in_[at]) && in_[at] != '/' && in_[at] != '>') {
            if (name.size() <= kMaxNameKept) {
                name.push_back(lowered(in_[at]));
            }
            ++at;
        }
        enum class State {
            between,
            attribute,
            afterName,
            beforeValue,
            quoted,
            unquoted,
            afterQuoted
        };
        State state = State::between;
        char quote = '"';
        std::size_t attributeStart = 0;
        std::size_t valueStart = 0;
        std::string_view attribute;
        bool hides = false;
        ListAttributes list;
        const auto nameEnds = [&](std::size_t stop) {
            attribute = in_.substr(attributeStart, stop - attributeStart);
            hides = hides || equalsIgnoringCase(attribute, "hidden");
            list.reversed = list.reversed || equalsIgnoringCase(attribute, "reversed");
            list.checked = list.checked || equalsIgnoringCase(attribute, "checked");
        };
        const auto valueEnds = [&](std::size_t stop) {
            const auto value = in_.substr(valueStart, stop - valueStart);
            hides = hides || (equalsIgnoringCase(attribute, "style") && stylesNoDisplay(value));
            // The first of an attribute given twice counts, as in a browser.
            for (auto [key, kept] :
                 {std::pair{"start", &list.start}, std::pair{"type", &list.type},
                  std::pair{"value", &list.value}, std::pair{"style", &list.style}}) {
                if (equalsIgnoringCase(attribute, key) && !*kept) {
                    *kept = value;
                }
            }
        };
        while (at < in_.size()) {
            checkStopAt(at);
            const char c = in_[at];
            // Outside a quoted value (which is passed over whole below) a ">" ends the tag.
            if (c == '>' && state != State::quoted) {
                if (state == State::attribute) {
                    nameEnds(at);
                } else if (state == State::unquoted) {
                    valueEnds(at);
                }
                return finishTag(at + 1, name, end, hides, list);
            }
            switch (state) {
                case State::between:
                case State::afterQuoted:
                    state = isSpace(c) || c == '/' ? State::between : State::attribute;
                    attributeStart = at;
                    break;
                case State::attribute:
                    if (c == '=') {
                        nameEnds(at);
                        state = State::beforeValue;
                    } else if (isSpace(c) || c == '/') {
                        nameEnds(at);
                        state = State::afterName;
                    }
                    break;
                case State::afterName:
                    if (c == '=') {
                        state = State::beforeValue;
                    } else if (!isSpace(c) && c != '/') {
                        state = State::attribute;
                        attributeStart = at;
                    }
                    break;
                case State::beforeValue:
                    if (c == '"' || c == '\'') {
                        state = State::quoted;
                        quote = c;
                        valueStart = at + 1;
                    } else if (!isSpace(c)) {
                        state = State::unquoted;
                        valueStart = at;
                    }
                    break;
                case State::quoted: {
                    const auto close = in_.find(quote, at);
                    if (close == std::string_view::npos) {
                        unended("a quoted attribute value");
                        pos_ = in_.size();
                        return;
                    }
                    valueEnds(close);
                    at = close;
                    state = State::afterQuoted;
                    break;
                }
                case State::unquoted:
                    if (isSpace(c)) {
                        valueEnds(at);
                        state = State::between;
                    }
                    break;
            }
            ++at;
        }
        // A tag the page never ends is no tag, and nothing after it is text.
        unended("a tag");
        pos_ = in_.size();
    }

    // Whether an inline style says `display: none` (white space, case and "!important" aside).
    static bool stylesNoDisplay(std::string_view style) {
        std::string compact;
        for (const char c : style) {
            if (!isSpace(c)) {
                compact.push_back(lowered(c));
            }
        }
        constexpr std::string_view kNone = "display:none";
        for (auto at = compact.find(kNone); at != std::string::npos;
             at = compact.find(kNone, at + 1)) {
            const auto after = at + kNone.size();
            if ((at == 0 || compact[at - 1] == ';') &&
                (after == compact.size() || compact[after] == ';' || compact[after] == '!')) {
                return true;
            }
        }
        return false;
    }

    void finishTag(std::size_t after, const std::string& name, bool end, bool hides,
                   const ListAttributes& list) {
        pos_ = after;
        if (end) {
            endElement(name);
            hiddenElementEnd(name);
            return;
        }
        hiddenElementStart(name);
        if (hides && !hiddenElement_ && !isVoid(name)) {
            // Hidden with all it holds, as a browser shows the page.
            hiddenElement_ = HiddenElement{name, {}, 0};
            out_.hide();
        }
        startElement(name);
        if (name == "ol" || name == "ul" || name == "menu") {
            out_.listOpened();
            openList(name, list);
        } else if (name == "li") {
            listItem(list);
        } else if (name == "input" && equalsIgnoringCase(list.type.value_or(""), "checkbox")) {
            // A checkbox reads as the box a document's checkbox shows, ticked or not.
            out_.text(list.checked ? "\u2612 " : "\u2610 ");
        }
    }

    // An element is hidden up to its end tag, the end tag of a block around it, or (for an
    // element whose end tag may be left out) the start of the next of its kind; a paragraph also
    // at the start of a block. The elements open inside it are kept (as far as kMaxHiddenDepth),
    // with the same ends left out, so that its end is found as a browser finds it.
    void hiddenElementStart(const std::string& name) {
        if (!hiddenElement_) {
            return;
        }
        auto& hidden = *hiddenElement_;
        const auto endsBy = [&](std::string_view open) {
            return hasOptionalEnd(open) &&
                   (open == name || (open == "p" && isBlock(name) && name != "br"));
        };
        if (hidden.inside.empty() && hidden.deeper == 0 && endsBy(hidden.name)) {
            hiddenElement_.reset();
            out_.unhide();
            return;
        }
        if (isVoid(name)) {
            return;
        }
        while (hidden.deeper == 0 && !hidden.inside.empty() && endsBy(hidden.inside.back())) {
            hidden.inside.pop_back();
        }
        if (hidden.inside.size() < kMaxHiddenDepth && hidden.deeper == 0) {
            hidden.inside.push_back(name);
        } else {
            ++hidden.deeper;
        }
    }

    void hiddenElementEnd(const std::string& name) {
        if (!hiddenElement_) {
            return;
        }
        auto& hidden = *hiddenElement_;
        if (hidden.deeper > 0) {
            --hidden.deeper;
            return;
        }
        const auto open = std::find(hidden.inside.rbegin(), hidden.inside.rend(), name);
        if (open != hidden.inside.rend()) {
            hidden.inside.erase(std::prev(open.base()), hidden.inside.end());
            return;
        }
        // An end tag of no element open inside: the hidden element's own, or that of a block
        // around it, ends it; a stray inline one ("</b>") is passed over, as browsers do.
        if (name == hidden.name || isBlock(name) || hasOptionalEnd(name) ||
            isOneOf(name, {"body", "html", "table"})) {
            hiddenElement_.reset();
            out_.unhide();
        }
    }

    void startElement(const std::string& name) {
        if (isHiddenRawText(name) || name == "title") {
            // The title is RCDATA rather than raw text, which differs only in references: it is
            // left out either way.
            const auto end = rawTextEnd(name);
            if (end == in_.size()) {
                unended("a <" + name + "> element");
            }
            pos_ = end;
            return;
        }
        if (name == "textarea") {
            const auto end = rawTextEnd(name);
            characters(end);
            return;
        }
        if (name == "plaintext") {
            out_.lineBreak();
            out_.preformat();
            rawText(in_.size());
            return;
        }
        if (name == "xmp") {
            out_.lineBreak();
            out_.preformat();
            rawText(rawTextEnd(name));
            return;
        }
        if (name == "template") {
            out_.hide();
            return;
        }
        if (name == "td" || name == "th") {
            out_.cellBreak();
            return;
        }
        if (name == "br") {
            // A line break is one, also right after an item's marker.
            out_.hardLineBreak();
        } else if (isBlock(name)) {
            out_.lineBreak();
        }
        if (name == "pre" || name == "listing") {
            out_.preformat();
        }
    }

    void endElement(const std::string& name) {
        if (name == "ol" || name == "ul" || name == "menu") {
            out_.listClosed();
            closeList(name);
        }
        if (name == "template") {
            out_.unhide();
            return;
        }
        if (name == "pre" || name == "listing" || name == "xmp") {
            out_.unpreformat();
        }
        if (isBlock(name)) {
            out_.lineBreak();
        }
    }

    // A list begins: an <ol> counts from its start (the number of its items down, when reversed),
    // in the format its type names; a <ul> (or <menu>) is bulleted by its type, or by how deep it
    // is in other lists (disc, circle, then square), as browsers show them. An inline
    // list-style-type marks the items as it says, numbers on a <ul> and bullets on an <ol>.
    void openList(const std::string& name, const ListAttributes& attributes) {
        if (lists_.size() >= kMaxListDepth) {
            ++deeperLists_;
            return;
        }
        List list;
        list.name = name;
        const auto type = attributes.type.value_or("");
        if (name != "ol") {
            const auto disc = equalsIgnoringCase(type, "disc");
            const auto circle = equalsIgnoringCase(type, "circle");
            const auto square = equalsIgnoringCase(type, "square");
            const auto depth = disc || circle || square ? 0 : lists_.size();
            list.marking.bullet = circle || (!disc && !square && depth == 1)
                                      ? "\u25E6"
                                      : (square || depth >= 2 ? "\u25AA" : "\u2022");
        } else {
            list.marking.format = type == "a"   ? "lowerAlpha"
                                  : type == "A" ? "upperAlpha"
                                  : type == "i" ? "lowerRoman"
                                  : type == "I" ? "upperRoman"
                                                : "decimal";
            list.step = attributes.reversed ? -1 : 1;
            const auto start = attributes.start ? integer(*attributes.start) : std::nullopt;
            if (start) {
                list.start = *start;
            } else if (attributes.reversed) {
                list.start = itemsAhead(list);
            }
        }
        if (const auto styled =
                attributes.style ? inlineListStyle(*attributes.style) : std::nullopt) {
            list.marking = *styled;
        }
        lists_.push_back(std::move(list));
    }

    void closeList(const std::string& name) {
        if (deeperLists_ > 0) {
            --deeperLists_;
            return;
        }
        const auto open = std::find_if(lists_.rbegin(), lists_.rend(),
                                       [&](const List& list) { return list.name == name; });
        if (open != lists_.rend()) {
            lists_.erase(std::prev(open.base()), lists_.end());
        }
    }

    // An item shows its list's bullet, or its number (its `value`, when it has one), counted
    // only when it shows; an item outside any list is bulleted. Its own inline list-style-type
    // marks it alone.
    void listItem(const ListAttributes& attributes) {
        if (out_.hidden() || deeperLists_ > 0) {
            return;
        }
        if (lists_.empty()) {
            out_.marker("\u2022");
            return;
        }
        auto& list = lists_.back();
        if (counting_) {
            if (list.counted) {
                ++itemCounts_[*list.counted].second;
            }
            return;
        }
        // Every item counts, as in a browser, whatever marks it.
        if (const auto value = attributes.value ? integer(*attributes.value) : std::nullopt) {
            list.count.restart(0, *value, list.step);
        }
        const auto number = list.count.next(0, list.start, list.step);
        const auto styled = attributes.style ? inlineListStyle(*attributes.style) : std::nullopt;
        const auto marking = styled.value_or(list.marking);
        out_.marker(marking.format.empty()
                        ? std::string(marking.bullet)
                        : ListNumberFormat::formatted(number, marking.format) +
                              std::string(ListNumberFormat::cssSuffix(marking.format)));
    }

    // How many items the reversed list whose start tag ends at `pos_` shows: counted for all
    // such lists at once, by a first pass over the page that reads it as this one does (so
    // that a hidden item, an item of a list inside, or an "<li" in a comment counts for none).
    long itemsAhead(List& list) {
        if (counting_) {
            list.counted = itemCounts_.size();
            itemCounts_.emplace_back(pos_, 0);
            return 0;
        }
        if (!itemsCounted_) {
            itemsCounted_ = true;
            itemCounts_ = reversedItems(in_, stop_);
        }
        const auto found = std::lower_bound(itemCounts_.begin(), itemCounts_.end(),
                                            std::pair{pos_, std::numeric_limits<long>::min()});
        return found != itemCounts_.end() && found->first == pos_ ? found->second : 0;
    }

    // An integer as browsers read one: white space, a sign, digits, whatever follows ignored;
    // within what a list counts.
    static std::optional<long> integer(std::string_view text) {
        constexpr long kMost = ListCount::kHighestStart;
        std::size_t at = 0;
        while (at < text.size() && isSpace(text[at])) {
            ++at;
        }
        const bool negative = at < text.size() && text[at] == '-';
        if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
            ++at;
        }
        if (at == text.size() || !isAsciiDigit(text[at])) {
            return std::nullopt;
        }
        long value = 0;
        for (; at < text.size() && isAsciiDigit(text[at]); ++at) {
            value = std::min(value * 10 + (text[at] - '0'), kMost);
        }
        return negative ? -value : value;
    }

    // Where the raw text of `name` ends: at its end tag ("</name" then a space, "/" or ">"), or
    // at the end of the page.
    std::size_t rawTextEnd(std::string_view name) {
        for (auto at = in_.find("</", pos_); at != std::string_view::npos;
             at = in_.find("</", at + 2)) {
            checkStopAt(at);
            const auto after = at + 2 + name.size();
            if (after <= in_.size() && equalsIgnoringCase(in_.substr(at + 2, name.size()), name) &&
                (after == in_.size() || isSpace(in_[after]) || in_[after] == '/' ||
                 in_[after] == '>')) {
                return at;
            }
        }
        return in_.size();
    }

    std::string_view in_;
    std::stop_token stop_;
    std::size_t pos_ = 0;
    std::size_t nextStopCheck_ = 0;
    TextWriter out_;
    // The element hidden by its attributes, and the elements open inside it (past the most kept,
    // only counted).
    struct HiddenElement {
        std::string name;
        std::vector<std::string> inside;
        std::size_t deeper = 0;
    };
    static constexpr std::size_t kMaxHiddenDepth = 256;
    std::optional<HiddenElement> hiddenElement_;
    // The lists open around the text, innermost last (past the most kept, only counted), and
    // the items of each reversed list without a start, counted ahead once by where it begins.
    static constexpr std::size_t kMaxListDepth = 256;
    std::vector<List> lists_;
    std::size_t deeperLists_ = 0;
    std::vector<std::pair<std::size_t, long>> itemCounts_;
    bool itemsCounted_ = false;
    // This pass only counts the items of reversed lists.
    bool counting_ = false;
    // What the page ended inside, if anything, and where it began.
    std::optional<std::string> unended_;
    std::size_t unendedAt_ = 0;
};

}  // namespace

std::string HtmlText::text(std::string_view page, std::stop_token stop) {
    return Tokenizer(page, std::move(stop)).run();
}

}  // namespace vask
