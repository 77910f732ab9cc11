#include "sources/markup_attribute_bound.h"

#include <string_view>

namespace vask {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

char lowered(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr std::string_view kCdataOpener = "[CDATA[";
constexpr std::size_t kMaxTagNameKept = 8;

}  // namespace

std::size_t MarkupAttributeBound::filter(char* data, std::size_t length) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (step(data[i])) {
            data[kept++] = data[i];
        }
    }
    return kept;
}

bool MarkupAttributeBound::startAttribute() {
    if (++attributes_ > maxAttributes_) {
        ++dropped_;
        return false;
    }
    return true;
}

// The start tag ends; the raw text of a script or style follows it in HTML.
bool MarkupAttributeBound::endTag() {
    state_ = State::text;
    if (dialect_ == Dialect::html && (tagName_ == "script" || tagName_ == "style")) {
        state_ = State::rawText;
        rawElement_ = "</" + tagName_;
        matched_ = 0;
    }
    return true;
}

// A section that ends at two `mark`s and '>': matched_ counts the marks just seen.
bool MarkupAttributeBound::endsAfterTwo(char c, char mark) {
    if (c == mark) {
        ++matched_;
    } else {
        if (c == '>' && matched_ >= 2) {
            state_ = State::text;
        }
        matched_ = 0;
    }
    return true;
}

bool MarkupAttributeBound::step(char c) {
    const bool dropping = attributes_ > maxAttributes_;
    switch (state_) {
        case State::text:
            if (c == '<') {
                state_ = State::tagOpen;
            }
            return true;
        case State::tagOpen:
            if (c == '!') {
                state_ = State::bang;
                matched_ = 0;
            } else if (c == '?') {
                state_ = State::instruction;
                matched_ = 0;
            } else if (c == '/') {
                state_ = State::endTag;
            } else if (isNameStart(c)) {
                state_ = State::tagName;
                attributes_ = 0;
                tagName_.assign(1, lowered(c));
            } else {
                state_ = c == '<' ? State::tagOpen : State::text;
            }
            return true;
        case State::bang:
            // "<!--" opens a comment, "<![CDATA[" a CDATA section, anything else a declaration;
            // matched_ counts how much of either opener follows "<!".
            if (matched_ == 0 && c == '-') {
                matched_ = 1;
            } else if (matched_ == 1 && c == '-') {
                state_ = State::comment;
                matched_ = 0;
            } else if (matched_ >= 10 || (matched_ == 0 && c == '[')) {
                const std::size_t at = matched_ == 0 ? 0 : matched_ - 10;
                if (c != kCdataOpener[at]) {
                    state_ = c == '>' ? State::text : State::declaration;
                } else if (at + 1 == kCdataOpener.size()) {
                    state_ = State::cdata;
                    matched_ = 0;
                } else {
                    matched_ = 10 + at + 1;
                }
            } else {
                state_ = c == '>' ? State::text : State::declaration;
            }
            return true;
        case State::comment:
            return endsAfterTwo(c, '-');  // at "-->"
        case State::cdata:
            return endsAfterTwo(c, ']');  // at "]]>"
        case State::instruction:
            // XML ends it at "?>", HTML at the first ">".
            if (c == '>' && (dialect_ == Dialect::html || matched_ == 1)) {
                state_ = State::text;
            }
            matched_ = c == '?' ? 1 : 0;
            return true;
        case State::declaration:
        case State::endTag:
            if (c == '>') {
                state_ = State::text;
            }
            return true;
        case State::tagName:
            if (c == '>') {
                return endTag();
            }
            if (isBlank(c) || c == '/') {
                state_ = State::beforeAttribute;
            } else if (tagName_.size() < kMaxTagNameKept) {
                tagName_.push_back(lowered(c));
            }
            return true;
        case State::beforeAttribute:
        case State::afterName:
            if (c == '>') {
                return endTag();
            }
            if (isBlank(c) || c == '/') {
                // A "/" outside a value is kept even when dropping: it may close an empty
                // element ("/>").
                return !dropping || c == '/';
            }
            if (state_ == State::afterName && c == '=') {
                state_ = State::afterEquals;
                return !dropping;
            }
            state_ = State::attributeName;
            return startAttribute();
        case State::attributeName:
            if (c == '>') {
                return endTag();
            }
            if (c == '=') {
                state_ = State::afterEquals;
            } else if (isBlank(c)) {
                state_ = State::afterName;
            } else if (c == '/' && dialect_ == Dialect::html) {
                state_ = State::beforeAttribute;
                return true;
            }
            return !dropping;
        case State::afterEquals:
            if (c == '>') {
                return endTag();
            }
            if (c == '"' || c == '\'') {
                state_ = State::quoted;
                quote_ = c;
            } else if (!isBlank(c)) {
                state_ = State::unquoted;
            }
            return !dropping;
        case State::quoted:
            if (c == quote_) {
                state_ = State::beforeAttribute;
            }
            return !dropping;
        case State::unquoted:
            if (c == '>') {
                return endTag();
            }
            if (isBlank(c)) {
                state_ = State::beforeAttribute;
            }
            return !dropping;
        case State::rawText:
            // Ends where "</script" or "</style" begins (in any case); the end tag is read as one.
            if (lowered(c) == rawElement_[matched_] || (matched_ == 0 && c == '<')) {
                matched_ = lowered(c) == rawElement_[matched_] ? matched_ + 1 : 1;
                if (matched_ == rawElement_.size()) {
                    state_ = State::endTag;
                    matched_ = 0;
                }
            } else {
                matched_ = c == '<' ? 1 : 0;
            }
            return true;
    }
    return true;
}

}  // namespace vask
