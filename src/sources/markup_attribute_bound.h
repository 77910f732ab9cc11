#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vask {

// Drops the attributes of an XML start tag past the first `maxAttributes`, on markup streamed
// through it in pieces, before libxml2 sees it. libxml2 checks each attribute of an element
// against the ones before it, so an element of tens of thousands of attributes takes quadratic
// time; the readers want only the text, which no attribute holds.
//
// It follows XML's own lexical rules, which libxml2 keeps strictly (it stops at the first
// error): comments end at "-->", CDATA sections at "]]>", processing instructions at "?>", and
// only a quoted value holds a ">". Markup-like text inside them is passed through untouched. The
// one place the parser reads markup this pass cannot see, the replacement text of an entity, is
// closed by the reader, which refuses documents that declare entities. The parser must read the
// bytes as UTF-8 (or another encoding that keeps ASCII as it is), whatever the document says.
//
// Namespace declarations ("xmlns", "xmlns:p") are never dropped, since names cannot be read
// without them; past `maxNamespaces` of them on one element the markup is refused instead (the
// parser checks them against each other too).
class MarkupAttributeBound {
  public:
    MarkupAttributeBound(std::size_t maxAttributes, std::size_t maxNamespaces)
        : maxAttributes_(maxAttributes), maxNamespaces_(maxNamespaces) {}

    // Appends what is kept of `in` to `out`.
    void filter(std::string_view in, std::string& out);

    // How many attributes were dropped so far.
    std::size_t dropped() const { return dropped_; }

    // Whether an element declared more namespaces than the bound: the markup cannot be read.
    bool refused() const { return refused_; }

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
    };

    // Whether the byte is kept.
    bool step(char c, std::string& out);
    bool startAttribute(char c);
    bool endsAfterTwo(char c, char mark);

    std::size_t maxAttributes_;
    std::size_t maxNamespaces_;
    State state_ = State::text;
    std::size_t attributes_ = 0;
    std::size_t namespaces_ = 0;
    std::size_t dropped_ = 0;
    bool refused_ = false;
    // Whether the attribute being read is dropped.
    bool dropping_ = false;
    // The start of a name past the bound, held until it tells a namespace declaration apart.
    std::string held_;
    // How far a multi-byte opener or closer ("--", "[CDATA[", "-->") has matched.
    std::size_t matched_ = 0;
    char quote_ = '"';
};

}  // namespace vask
