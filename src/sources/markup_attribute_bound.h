#pragma once

#include <cstddef>
#include <string>

namespace vask {

// Drops the attributes of a start tag past the first `maxAttributes`, on markup streamed through
// it in pieces, before a parser sees it. libxml2 checks each attribute of an element against the
// ones before it, so an element of tens of thousands of attributes takes quadratic time; the
// readers want only the text, which no attribute holds.
//
// Comments, CDATA sections, processing instructions, declarations and (in HTML) the raw text of
// scripts and styles are passed through untouched, so that markup-like text inside them is never
// mistaken for a tag. An element within the bound passes through byte for byte.
class MarkupAttributeBound {
  public:
    enum class Dialect { xml, html };

    MarkupAttributeBound(Dialect dialect, std::size_t maxAttributes)
        : dialect_(dialect), maxAttributes_(maxAttributes) {}

    // Filters `length` bytes at `data` in place (what is dropped is never replaced, so the
    // result is never longer) and returns the length kept.
    std::size_t filter(char* data, std::size_t length);

    // How many attributes were dropped so far.
    std::size_t dropped() const { return dropped_; }

  private:
    enum class State {
        text,
        tagOpen,
        bang,
        comment,
        cdata,
        instruction,
        declaration,
        endTag,
        tagName,
        beforeAttribute,
        attributeName,
        afterName,
        afterEquals,
        quoted,
        unquoted,
        rawText,
    };

    // Whether the byte is kept.
    bool step(char c);
    bool startAttribute();
    bool endTag();
    bool endsAfterTwo(char c, char mark);

    Dialect dialect_;
    std::size_t maxAttributes_;
    State state_ = State::text;
    std::size_t attributes_ = 0;
    std::size_t dropped_ = 0;
    // How far a multi-byte opener or closer ("--", "[CDATA[", "-->", "</script") has matched.
    std::size_t matched_ = 0;
    char quote_ = '"';
    // The start tag's name, lower case (only as much as tells script and style apart).
    std::string tagName_;
    // The element whose raw text is being passed over.
    std::string rawElement_;
};

}  // namespace vask
