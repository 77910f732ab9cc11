#include "sources/word_processor_reader.h"

#include <gtest/gtest.h>

#include <optional>

#include "sources/rich_text_reader.h"
#include "zip_fixture.h"

namespace vask {
namespace {

struct TextCase {
    std::string name;
    std::string body;
    std::string text;
};

TEST(WordProcessorReaderTest, ReadsDocxBodyText) {
    const std::vector<TextCase> cases = {
        {"paragraphs are separated by a blank line",
         "<w:p><w:r><w:t>one</w:t></w:r></w:p><w:p><w:r><w:t>two</w:t></w:r></w:p>", "one\n\ntwo"},
        {"runs split inside a word are joined",
         "<w:p><w:r><w:t>Lea</w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t>se</w:t></w:r></w:p>",
         "Lease"},
        {"tabs and line breaks",
         "<w:p><w:r><w:t>a</w:t><w:tab/><w:t>b</w:t><w:br/><w:t>c</w:t></w:r></w:p>", "a\tb\nc"},
        {"non-ASCII text and escaped markup",
         "<w:p><w:r><w:t>Caf\xC3\xA9 &amp; \xE6\x97\xA5\xE6\x9C\xAC &lt;ok&gt;</w:t></w:r></w:p>",
         "Caf\xC3\xA9 & \xE6\x97\xA5\xE6\x9C\xAC <ok>"},
        {"kept spaces and empty paragraphs",
         "<w:p><w:r><w:t xml:space=\"preserve\">  rent </w:t></w:r></w:p><w:p/>"
         "<w:p><w:r><w:t>due</w:t></w:r></w:p>",
         "  rent \n\ndue"},
        {"deleted text and field codes are not body text",
         "<w:p><w:r><w:delText>old</w:delText></w:r><w:r><w:instrText>PAGE</w:instrText></w:r>"
         "<w:ins><w:r><w:t>new</w:t></w:r></w:ins></w:p>",
         "new"},
        {"table cells and hyperlinks",
         "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>cell</w:t></w:r></w:p></w:tc></w:tr></w:tbl>"
         "<w:p><w:hyperlink><w:r><w:t>link</w:t></w:r></w:hyperlink></w:p>",
         "cell\n\nlink"},
        {"a text box paragraph follows its anchor",
         "<w:p><w:r><w:t>outer</w:t><w:txbxContent><w:p><w:r><w:t>inner</w:t></w:r></w:p>"
         "</w:txbxContent></w:r></w:p>",
         "outer\n\ninner"},
        {"each paragraph of a text box comes once",
         "<w:p><w:r><w:t>outer</w:t><w:txbxContent><w:p><w:r><w:t>one</w:t></w:r></w:p>"
         "<w:p><w:r><w:t>two</w:t><w:txbxContent><w:p><w:r><w:t>deep</w:t></w:r></w:p>"
         "</w:txbxContent></w:r></w:p></w:txbxContent><w:t>after</w:t></w:r></w:p>"
         "<w:p><w:r><w:t>next</w:t></w:r></w:p>",
         "outerafter\n\none\n\ntwo\n\ndeep\n\nnext"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto text = WordProcessorReader::documentText(test::docxDocument(c.body));
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, c.text);
    }
}

TEST(WordProcessorReaderTest, ReadsOdtBodyText) {
    const std::vector<TextCase> cases = {
        {"headings and paragraphs", "<text:h>Title</text:h><text:p>Body</text:p>", "Title\n\nBody"},
        {"nested spans", "<text:p>Le<text:span>a<text:span>s</text:span></text:span>e</text:p>",
         "Lease"},
        {"counted and single spaces",
         "<text:p>a<text:s text:c=\"3\"/>b<text:s/>c<text:s text:c=\"x\"/>d</text:p>", "a   b c d"},
        {"a huge space count is capped", "<text:p>a<text:s text:c=\"2000000000\"/>b</text:p>",
         "a" + std::string(1024, ' ') + "b"},
        {"tabs and line breaks", "<text:p>a<text:tab/>b<text:line-break/>c</text:p>", "a\tb\nc"},
        {"layout white space collapses", "<text:p>one\n   two</text:p>", "one two"},
        {"notes and annotations are left out",
         "<text:p>rent<text:note><text:note-body><text:p>footnote</text:p></text:note-body>"
         "</text:note> due</text:p>",
         "rent due"},
        {"non-ASCII text",
         "<text:p>\xC3\x9C"
         "ber \xE2\x82\xAC"
         "5</text:p>",
         "\xC3\x9C"
         "ber \xE2\x82\xAC"
         "5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto text = WordProcessorReader::documentText(test::odtDocument(c.body));
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, c.text);
    }
}

// The replacement text of an entity is markup the parser reads unseen by the attribute bound,
// and defaulted attributes are added unseen: a document that declares either is refused (no
// word processor writes them), before any entity is used, expanded or fetched.
TEST(WordProcessorReaderTest, EntitiesAreNeitherExpandedNorFetched) {
    const std::string root =
        "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">";
    std::string attributes;
    for (int i = 0; i < 20'000; ++i) {
        attributes += " a" + std::to_string(i) + "='v'";
    }
    struct Case {
        std::string name;
        std::string doctype;
        std::string body;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {"an internal and an external entity",
         "<!DOCTYPE w:document [<!ENTITY inner \"SECRET\">"
         "<!ENTITY outer SYSTEM \"file:///etc/hostname\">]>",
         "<w:t>a&inner;b&outer;c</w:t>", "declares the entity \"inner\""},
        {"an entity of markup with many attributes",
         "<!DOCTYPE w:document [<!ENTITY e '<w:r" + attributes + "><w:t>x</w:t></w:r>'>]>",
         "&e;&e;", "declares the entity \"e\""},
        {"a parameter entity", "<!DOCTYPE w:document [<!ENTITY % p \"<!ENTITY q 'Q'>\"> %p;]>",
         "<w:t>&q;</w:t>", "declares the entity \"p\""},
        {"defaulted attributes", "<!DOCTYPE w:document [<!ATTLIST w:r a CDATA 'v' b CDATA 'w'>]>",
         "<w:t>t</w:t>", "declares attributes of \"w:r\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string xml = "<?xml version=\"1.0\"?>" + c.doctype + root +
                                "<w:body><w:p><w:r>" + c.body + "</w:r></w:p></w:body></w:document>";
        try {
            WordProcessorReader::documentText(test::zipArchive({{"word/document.xml", xml}}));
            ADD_FAILURE() << "read";
        } catch (const WordProcessorReaderError& error) {
            EXPECT_EQ(error.kind(), WordProcessorReaderError::Case::malformedXml);
            EXPECT_NE(std::string(error.what()).find(c.refusal), std::string::npos) << error.what();
            EXPECT_EQ(std::string(error.what()).find("SECRET"), std::string::npos);
        }
    }
    // A DOCTYPE that declares nothing is read.
    const auto plain = WordProcessorReader::documentText(test::zipArchive(
        {{"word/document.xml", "<!DOCTYPE w:document>" + root +
                                   "<w:body><w:p><w:r><w:t>t</w:t></w:r></w:p></w:body></w:document>"}}));
    EXPECT_EQ(plain, "t");
}

// Namespace declarations are kept wherever they stand among an element's attributes, so the
// names under them are read; past what any document declares the markup is refused, as is
// markup that is not UTF-8 (the bound would not see its tags).
TEST(WordProcessorReaderTest, NamespacesAfterManyAttributesAreRead) {
    const std::string word = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
    std::string attributes;
    for (int i = 0; i < 200; ++i) {
        attributes += " a" + std::to_string(i) + "=\"v\"";
    }
    std::string namespaces;
    for (int i = 0; i < 1100; ++i) {
        namespaces += " xmlns:n" + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
    }
    const std::string body = "<w:body><w:p><w:r><w:t>kept</w:t></w:r></w:p></w:body></w:document>";
    struct Case {
        std::string name;
        std::string xml;
        std::optional<std::string> text;
    };
    const std::vector<Case> cases = {
        {"xmlns:w after 200 attributes",
         "<w:document" + attributes + " xmlns:w=\"" + word + "\">" + body, "kept"},
        {"a default namespace after them",
         "<document" + attributes + " xmlns=\"" + word + "\"><body><p><r><t>kept</t></r></p>"
         "</body></document>",
         "kept"},
        {"more namespaces than any document declares",
         "<w:document xmlns:w=\"" + word + "\"" + namespaces + ">" + body, std::nullopt},
        {"UTF-16",
         std::string("\xFF\xFE<\0w\0:\0d\0o\0c\0>\0", 16), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto document = test::zipArchive({{"word/document.xml", c.xml}});
        try {
            EXPECT_EQ(WordProcessorReader::documentText(document), c.text);
        } catch (const WordProcessorReaderError& error) {
            EXPECT_FALSE(c.text.has_value()) << error.what();
            EXPECT_EQ(error.kind(), WordProcessorReaderError::Case::malformedXml);
        }
    }
}

TEST(WordProcessorReaderTest, UnreadableDocumentsFailWithTheirCase) {
    using C = WordProcessorReaderError::Case;
    const std::string validBody = "<w:p><w:r><w:t>" + std::string(4096, 'x') + "</w:t></w:r></w:p>";
    struct Case {
        std::string name;
        std::string bytes;
        std::size_t limit;
        C kind;
    };
    const std::vector<Case> cases = {
        {"no document entry", test::zipArchive({{"mimetype", "x"}, {"word/styles.xml", "<a/>"}}),
         WordProcessorReader::kMaxEntryBytes, C::entryMissing},
        {"unclosed element", test::zipArchive({{"word/document.xml", "<w:document><w:body><w:p>"}}),
         WordProcessorReader::kMaxEntryBytes, C::malformedXml},
        {"empty entry", test::zipArchive({{"content.xml", ""}}),
         WordProcessorReader::kMaxEntryBytes, C::malformedXml},
        {"entry over the limit", test::docxDocument(validBody), 1024, C::entryTooLarge},
        {"truncated archive", test::docxDocument(validBody).substr(0, 40),
         WordProcessorReader::kMaxEntryBytes, C::archiveUnreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            WordProcessorReader::documentText(c.bytes, c.limit);
            ADD_FAILURE() << "expected a failure";
        } catch (const WordProcessorReaderError& error) {
            EXPECT_EQ(error.kind(), c.kind) << error.what();
        }
    }
    EXPECT_TRUE(WordProcessorReader::documentText(test::docxDocument(validBody), 8192).has_value());
}

// A space element of 23 bytes stands for 1,024 spaces: the text is bounded by the same limit as
// the markup, counting every space, tab and line break it expands to.
TEST(WordProcessorReaderTest, TextIsBoundedLikeTheMarkup) {
    std::string spaces;
    for (int i = 0; i < 100; ++i) {
        spaces += "<text:s text:c=\"1024\"/>";
    }
    std::string breaks;
    for (int i = 0; i < 40; ++i) {
        breaks += "<text:tab/><text:line-break/><text:s text:c=\"100\"/>";
    }
    struct Case {
        std::string name;
        std::string body;
        std::size_t limit;
        std::optional<std::size_t> size;
    };
    const std::vector<Case> cases = {
        {"spaces past the limit", "<text:p>a" + spaces + "b</text:p>", 64 * 1024, std::nullopt},
        {"spaces within it", "<text:p>a" + spaces + "b</text:p>", 128 * 1024, 102'402},
        // 4,000 spaces, 40 tabs and 40 line breaks in about 2,400 bytes of markup.
        {"tabs and line breaks count as much as spaces", "<text:p>" + breaks + "</text:p>", 4050,
         std::nullopt},
        {"all of them within the limit", "<text:p>" + breaks + "</text:p>", 4080, 4080},
        {"the blank line between paragraphs counts",
         "<text:p>" + breaks + "</text:p><text:p>" + breaks + "</text:p>", 8161, std::nullopt},
        {"two paragraphs just within the limit",
         "<text:p>" + breaks + "</text:p><text:p>" + breaks + "</text:p>", 8162, 8162},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto document = test::odtDocument(c.body);
        try {
            const auto text = WordProcessorReader::documentText(document, c.limit);
            ASSERT_TRUE(text.has_value());
            EXPECT_EQ(text->size(), c.size.value_or(0)) << "expected a refusal";
        } catch (const WordProcessorReaderError& error) {
            EXPECT_FALSE(c.size.has_value()) << error.what();
            EXPECT_EQ(error.kind(), WordProcessorReaderError::Case::entryTooLarge);
        }
    }
}

// Elements of tens of thousands of attributes are read (the attributes past a bound dropped
// before the parser), empty nested paragraphs leave nothing behind, and a text run longer than
// the parser takes is refused as what it is.
TEST(WordProcessorReaderTest, HostileMarkupIsReadOrRefusedForWhatItIs) {
    std::string attributes;
    for (int i = 0; i < 50'000; ++i) {
        attributes += " a" + std::to_string(i) + "=\"v\"";
    }
    const auto many = WordProcessorReader::documentText(test::docxDocument(
        "<w:p" + attributes + "><w:r" + attributes + "><w:t>kept</w:t></w:r></w:p>"));
    ASSERT_TRUE(many.has_value());
    EXPECT_EQ(*many, "kept");

    std::string empties;
    for (int i = 0; i < 100'000; ++i) {
        empties += "<w:p/>";
    }
    const auto nested = WordProcessorReader::documentText(
        test::docxDocument("<w:p><w:r><w:t>outer</w:t></w:r>" + empties +
                           "<w:p><w:r><w:t>inner</w:t></w:r></w:p></w:p>"));
    ASSERT_TRUE(nested.has_value());
    EXPECT_EQ(*nested, "outer\n\ninner");

    try {
        WordProcessorReader::documentText(test::docxDocument(
            "<w:p><w:r><w:t>" + std::string(10'000'001, 'a') + "</w:t></w:r></w:p>"));
        ADD_FAILURE() << "a text run of 10 MB was read";
    } catch (const WordProcessorReaderError& error) {
        EXPECT_EQ(error.kind(), WordProcessorReaderError::Case::entryTooLarge);
        EXPECT_NE(std::string(error.what()).find("text run"), std::string::npos) << error.what();
    }
}

TEST(WordProcessorReaderTest, OnlyZipArchivesAreTakenAsDocuments) {
    const std::string oldBinaryDocument("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1rest", 12);
    EXPECT_FALSE(WordProcessorReader::documentText(oldBinaryDocument).has_value());
    EXPECT_FALSE(RichTextReader::plainText(oldBinaryDocument).has_value());
    EXPECT_FALSE(WordProcessorReader::documentText("").has_value());
    EXPECT_EQ(RichTextReader::plainText(test::odtDocument("<text:p>via rich text</text:p>")),
              "via rich text");
}

}  // namespace
}  // namespace vask
