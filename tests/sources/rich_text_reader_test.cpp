#include "sources/rich_text_reader.h"

#include <gtest/gtest.h>

#include <stop_token>
#include <utility>

#include "platform/error.h"
#include "platform/text.h"
#include "sources/markup_attribute_bound.h"
#include "sources/text_decoding.h"
#include "support/peak_heap.h"
#include "zip_fixture.h"

namespace vask {
namespace {

TEST(RichTextReaderTest, ReadsRtfBodyText) {
    struct Case {
        std::string name;
        std::string rtf;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"plain", R"({\rtf1\ansi Hello world})", "Hello world"},
        {"paragraphs and tabs", R"({\rtf1 one\par two\tab three\line four})",
         "one\ntwo\tthree\nfour"},
        {"font and colour tables are not text",
         R"({\rtf1{\fonttbl{\f0 Helvetica;}}{\colortbl;\red0\green0\blue0;}\f0 Body})", "Body"},
        {"ignorable destinations are skipped", R"({\rtf1 A{\*\generator Writer 1.0;}B})", "AB"},
        {"escaped braces and backslash", R"({\rtf1 a\{b\}c\\d})", "a{b}c\\d"},
        {"hex bytes in the code page", R"({\rtf1\ansi\ansicpg1252 caf\'e9})", "caf\xC3\xA9"},
        {"unicode with its fallback skipped", R"({\rtf1\uc1 \u8364?5 \u-3913?})",
         "\xE2\x82\xAC"
         "5 \xEF\x82\xB7"},
        {"group-local unicode skip count", R"({\rtf1{\uc2 \u8364ab}c})",
         "\xE2\x82\xAC"
         "c"},
        {"surrogate pair is one character", R"({\rtf1\uc1 a\u-10179?\u-8694?b})",
         "a\xF0\x9F\x98\x8A"
         "b"},
        {"lone surrogate halves are replaced", R"({\rtf1\uc1 \u-10179?x\u-8694?})",
         "\xEF\xBF\xBDx\xEF\xBF\xBD"},
        {"unterminated document keeps what was read", R"({\rtf1 partial \'4)", "partial "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto text = RichTextReader::plainText(c.rtf);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, c.text);
    }
}

// Deep nesting costs memory only where a group changes the state, and the text inside and after
// the deepest group is all kept.
TEST(RichTextReaderTest, DeeplyNestedRtfGroupsKeepTheirTextInBoundedMemory) {
    constexpr std::size_t depth = 1 << 20;
    struct Case {
        std::string name;
        std::string open;
        std::string inner;
    };
    const std::vector<Case> cases = {
        {"bare braces", "{", "deep"},
        {"every group skipped from the first", "{\\*", ""},
        {"unicode skip count alternating", "{\\uc2{\\uc1 ", "deep"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string rtf = "{\\rtf1 before";
        for (std::size_t i = 0; i * c.open.size() < depth; ++i) {
            rtf += c.open;
        }
        rtf += " deep" + std::string(depth / c.open.size() + 1, '}') + " after}";
        std::optional<std::string> text;
        const auto peak = test::peakHeapGrowth([&] { text = RichTextReader::rtfText(rtf); });
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, "before" + (c.inner.empty() ? "" : " " + c.inner) + " after");
        if (peak) {
            EXPECT_LT(*peak, 4 * rtf.size()) << "peak heap growth " << *peak;
        }
    }
}

TEST(RichTextReaderTest, ReadsHtmlTextWithoutScriptsOrStyles) {
    const std::string html =
        "<!DOCTYPE html><html><head><title>T</title><style>p{}</style></head>"
        "<body><h1>Lease</h1><p>Pets &amp; plants</p><script>var x = 1;</script>"
        "<ul><li>one</li><li>two</li></ul></body></html>";
    const auto text = RichTextReader::plainText(html);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "Lease\nPets & plants\none\ntwo");
}

// Whatever the bytes, what comes out is UTF-8: a number that is no character and a page whose
// markup passes raw bytes on both become replacement characters.
TEST(RichTextReaderTest, TextIsValidUtf8WhateverTheInput) {
    const std::string replacement = "\xEF\xBF\xBD";
    struct Case {
        std::string name;
        std::string bytes;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"unicode below the signed 16-bit range", R"({\rtf\u-80864})", replacement},
        {"unicode beyond U+10FFFF", R"({\rtf1 a\u1114112?b})", "a" + replacement + "b"},
        {"unicode of ten digits", R"({\rtf1\u9999999999})", replacement},
        {"the last character is kept", R"({\rtf1\u1114111})", "\xF4\x8F\xBF\xBF"},
        // A page that is not UTF-8 and names no encoding is read as Latin-1.
        {"an ampersand before a byte above 127", "<html>&\xA0z", "&\xC2\xA0z"},
        {"in the body of a page", "<html><body><p>a&\xE9</p></body></html>", "a&\xC3\xA9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto text = RichTextReader::plainText(c.bytes);
        ASSERT_TRUE(text.has_value());
        EXPECT_TRUE(text::isValidUtf8(*text));
        EXPECT_EQ(*text, c.text);
    }
}

// A page is read as it streams: a text run longer than libxml2's own node limit is kept whole
// with what follows it, and an element of many thousands of attributes is read.
TEST(RichTextReaderTest, LongRunsAndManyAttributesKeepTheirText) {
    const std::string run(10'500'000, 'r');
    const auto text =
        RichTextReader::htmlText("<html><body><p>" + run + "</p><p>last</p></body></html>");
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, run + "\nlast");

    std::string attributes;
    for (int i = 0; i < 50'000; ++i) {
        attributes += " a" + std::to_string(i) + "=v";
    }
    const auto many = RichTextReader::htmlText(
        "<html><body><p" + attributes + ">one</p><script>x</script><p>two</p></body></html>");
    ASSERT_TRUE(many.has_value());
    EXPECT_EQ(*many, "one\ntwo");
}

// A stop request ends the reading of a page or a document with an error, not with part of
// its text.
TEST(RichTextReaderTest, AStopRequestEndsTheReading) {
    std::stop_source source;
    source.request_stop();
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"HTML", "<html><body><p>text</p></body></html>"},
        {"document", test::docxDocument("<w:p><w:r><w:t>text</w:t></w:r></w:p>")},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(RichTextReader::plainText(bytes, std::stop_token()).value_or(""), "text");
        EXPECT_THROW(RichTextReader::plainText(bytes, source.get_token()), Error);
    }
}

// Attributes past the bound are dropped in whatever pieces the markup arrives; what looks like
// a tag inside a comment, a CDATA section or a script is not one.
TEST(MarkupAttributeBoundTest, DropsOnlyAttributesPastTheBound) {
    using Dialect = MarkupAttributeBound::Dialect;
    struct Case {
        const char* name;
        Dialect dialect;
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"within the bound", Dialect::xml, "<a x=\"1\" y='2'>t</a>", "<a x=\"1\" y='2'>t</a>"},
        {"past it, the empty element kept", Dialect::xml, "<a x=\"1\" y=\"2\" z=\"3\"/>t",
         "<a x=\"1\" y=\"2\" />t"},
        {"a quoted >", Dialect::xml, "<a x=\"1\" y=\"2\" z=\">\">t", "<a x=\"1\" y=\"2\" >t"},
        {"comment", Dialect::xml, "<!-- <b p q r s> -->t", "<!-- <b p q r s> -->t"},
        {"cdata", Dialect::xml, "<![CDATA[<b p q r s>]]>t", "<![CDATA[<b p q r s>]]>t"},
        {"html unquoted", Dialect::html, "<p a=1 b c d=4>t", "<p a=1 b >t"},
        {"script", Dialect::html, "<script><b p q r s></SCRIPT><i p q r>t",
         "<script><b p q r s></SCRIPT><i p q >t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, c.in.size()}) {
            MarkupAttributeBound bound(c.dialect, 2);
            std::string out;
            for (std::size_t at = 0; at < c.in.size(); at += piece) {
                std::string part = c.in.substr(at, piece);
                out.append(part.data(), bound.filter(part.data(), part.size()));
            }
            EXPECT_EQ(out, c.out);
        }
    }
}

TEST(RichTextReaderTest, OtherBytesAreNotImported) {
    const std::vector<std::string> inputs = {
        "", "plain text that is neither format", std::string("\x00\x01\x02PK", 5),
        "<?xml version=\"1.0\"?><note>not html</note>", "{\\rt almost"};
    for (const auto& input : inputs) {
        SCOPED_TRACE(input);
        EXPECT_FALSE(RichTextReader::plainText(input).has_value());
    }
}

TEST(TextDecodingTest, Utf8IsTakenAsItIsAndOtherEncodingsAreDetected) {
    EXPECT_EQ(TextDecoding::utf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(TextDecoding::utf8("\xEF\xBB\xBFhi"), "hi");
    EXPECT_FALSE(TextDecoding::utf8("caf\xE9").has_value());

    const std::string latin1 =
        "Le caf\xE9 de la gare \xE9tait ferm\xE9 le dimanche, mais la boulangerie \xE0 c\xF4t\xE9 "
        "restait ouverte jusqu'\xE0 midi pour les habitu\xE9s du quartier.";
    std::string encoding;
    const auto decoded = TextDecoding::detected(latin1, &encoding);
    ASSERT_TRUE(decoded.has_value()) << encoding;
    EXPECT_NE(decoded->find("caf\xC3\xA9 de la gare"), std::string::npos) << encoding;

    EXPECT_FALSE(TextDecoding::convert("abc", "no-such-encoding").has_value());
    EXPECT_FALSE(TextDecoding::convert("\xFF\xFE\xFD", "UTF-8").has_value());
}

}  // namespace
}  // namespace vask
