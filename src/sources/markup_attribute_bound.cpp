#include "sources/markup_attribute_bound.h"

namespace vask {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}

constexpr std::string_view kCdataOpener = "[CDATA[";
constexpr std::string_view kNamespacePrefix = "xmlns";

}  // namespace

void MarkupAttributeBound::filter(std::string_view in, std::string& out) {
    for (const char c : in) {
        if (step(c, out)) {
            out.push_back(c);
        }
    }
}

// An attribute past the bound is dropped unless its name turns out to be a namespace
// declaration: its first bytes are held until that is known.
bool MarkupAttributeBound::startAttribute(char c) {
    state_ = State::attributeName;
    if (++attributes_ <= maxAttributes_) {
        dropping_ = false;
        if (c == 'x') {
            held_.assign(1, c);  // counted as a namespace once it is known to be one
            return false;
        }
        return true;
    }
    dropping_ = true;
    held_.assign(1, c);
    return false;
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

bool MarkupAttributeBound::step(char c, std::string& out) {
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
                namespaces_ = 0;
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
            if (c == '>' && matched_ == 1) {
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
                state_ = State::text;
            } else if (isBlank(c) || c == '/') {
                state_ = State::beforeAttribute;
            }
            return true;
        case State::beforeAttribute:
        case State::afterName:
            if (c == '>') {
                state_ = State::text;
                return true;
            }
            if (isBlank(c)) {
                // Blanks between dropped attributes go with them.
                return attributes_ <= maxAttributes_;
            }
            if (c == '/') {
                return true;  // "/>" closes an empty element
            }
            if (state_ == State::afterName && c == '=') {
                state_ = State::afterEquals;
                return !dropping_;
            }
            return startAttribute(c);
        case State::attributeName:
            if (!held_.empty()) {
                // Still telling "xmlns" or "xmlns:p" from other names.
                const bool namePart = !isBlank(c) && c != '=' && c != '>' && c != '/';
                if (namePart && held_.size() < kNamespacePrefix.size() &&
                    c == kNamespacePrefix[held_.size()]) {
                    held_.push_back(c);
                    return false;
                }
                const bool declaration =
                    held_ == kNamespacePrefix && (c == ':' || !namePart);
                if (declaration) {
                    if (++namespaces_ > maxNamespaces_) {
                        refused_ = true;
                    }
                    if (dropping_) {
                        // The blank before it may have gone with a dropped attribute.
                        dropping_ = false;
                        --attributes_;
                        out.push_back(' ');
                    }
                } else if (dropping_) {
                    ++dropped_;
                }
                if (!dropping_) {
                    out += held_;
                }
                held_.clear();
            }
            if (c == '>') {
                state_ = State::text;
                return true;
            }
            if (c == '=') {
                state_ = State::afterEquals;
            } else if (isBlank(c)) {
                state_ = State::afterName;
            } else if (c == '/') {
                state_ = State::beforeAttribute;
                return true;
            }
            return !dropping_;
        case State::afterEquals:
            if (c == '"' || c == '\'') {
                state_ = State::quoted;
                quote_ = c;
            } else if (c == '>') {
                state_ = State::text;
                return true;
            }
            return !dropping_;
        case State::quoted:
            if (c == quote_) {
                state_ = State::beforeAttribute;
            }
            return !dropping_;
    }
    return true;
}

}  // namespace vask
