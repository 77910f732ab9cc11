#include "sources/word_processor_reader.h"

#include <gtest/gtest.h>

#include <optional>

#include "sources/list_number_format.h"
#include "sources/rich_text_reader.h"
#include "support/log_capture.h"
#include "support/peak_heap.h"
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
        {"white space collapses across spans",
         "<text:p>one <text:span> two</text:span>\n <text:span>\nthree</text:span></text:p>",
         "one two three"},
        {"notes follow the body",
         "<text:p>rent<text:note><text:note-body><text:p>footnote</text:p></text:note-body>"
         "</text:note> due</text:p>",
         "rent due\n\nfootnote"},
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

// The namespaces Word and LibreOffice declare on a .docx part.
constexpr std::string_view kDocxNamespaces =
    "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
    "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" "
    "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\" "
    "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
    "xmlns:wps=\"http://schemas.microsoft.com/office/word/2010/wordprocessingShape\" "
    "xmlns:v=\"urn:schemas-microsoft-com:vml\" "
    "xmlns:m=\"http://schemas.openxmlformats.org/officeDocument/2006/math\" mc:Ignorable=\"wps\"";

std::string docxPart(std::string_view root, const std::string& content) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<w:" +
           std::string(root) + " " + std::string(kDocxNamespaces) + ">" + content +
           "</w:" + std::string(root) + ">";
}

// A .docx as Word and LibreOffice write it: the notes parts (when given) before the document
// part, as LibreOffice orders them, with Word's separator notes.
std::string docx(const std::string& body, const std::string& footnotes = {},
                 const std::string& endnotes = {}, const std::string& numbering = {},
                 const std::string& styles = {}, const std::string& settings = {},
                 const std::string& lastSection = "<w:sectPr/>") {
    const std::string separators =
        "<w:footnote w:type=\"separator\" w:id=\"-1\"><w:p><w:r><w:separator/></w:r></w:p>"
        "</w:footnote><w:footnote w:type=\"continuationSeparator\" w:id=\"0\"><w:p><w:r>"
        "<w:continuationSeparator/></w:r></w:p></w:footnote>";
    std::vector<std::pair<std::string, std::string>> entries = {
        {"[Content_Types].xml", "<?xml version=\"1.0\"?><Types/>"}};
    if (!footnotes.empty()) {
        entries.emplace_back("word/footnotes.xml", docxPart("footnotes", separators + footnotes));
    }
    entries.emplace_back("word/document.xml",
                         docxPart("document", "<w:body>" + body + lastSection + "</w:body>"));
    if (!numbering.empty()) {
        entries.emplace_back("word/numbering.xml", docxPart("numbering", numbering));
    }
    if (!styles.empty()) {
        entries.emplace_back("word/styles.xml", docxPart("styles", styles));
    }
    if (!settings.empty()) {
        entries.emplace_back("word/settings.xml", docxPart("settings", settings));
    }
    if (!endnotes.empty()) {
        entries.emplace_back("word/endnotes.xml", docxPart("endnotes", endnotes));
    }
    return test::zipArchive(entries);
}

std::string run(const std::string& text, const std::string& properties = {}) {
    return "<w:r>" + (properties.empty() ? "" : "<w:rPr>" + properties + "</w:rPr>") +
           "<w:t xml:space=\"preserve\">" + text + "</w:t></w:r>";
}

std::string paragraph(const std::string& runs) {
    return "<w:p><w:pPr><w:pStyle w:val=\"Normal\"/><w:rPr><w:lang w:val=\"en-GB\"/></w:rPr>"
           "</w:pPr>" +
           runs + "</w:p>";
}

// A text box anchored in a run, as both writers save it: the DrawingML shape for programs that
// know it, and the VML picture as the fallback, each holding the box's paragraphs.
std::string textBox(const std::string& paragraphs) {
    return "<w:r><mc:AlternateContent><mc:Choice Requires=\"wps\"><w:drawing><wp:anchor>"
           "<a:graphic><a:graphicData><wps:wsp><wps:txbx><w:txbxContent>" +
           paragraphs +
           "</w:txbxContent></wps:txbx></wps:wsp></a:graphicData></a:graphic></wp:anchor>"
           "</w:drawing></mc:Choice><mc:Fallback><w:pict><v:rect><v:textbox><w:txbxContent>" +
           paragraphs +
           "</w:txbxContent></v:textbox></v:rect></w:pict></mc:Fallback>"
           "</mc:AlternateContent></w:r>";
}

// What the author sees in Word or LibreOffice, once, in reading order.
TEST(WordProcessorReaderTest, DocxGivesWhatTheAuthorSees) {
    struct Case {
        std::string name;
        std::string document;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a text box is read once",
         docx(paragraph(run("Anchor") + textBox(paragraph(run("Boxed"))) + run(" text")) +
              paragraph(run("Next"))),
         "Anchor text\n\nBoxed\n\nNext"},
        {"hidden runs are left out",
         docx(paragraph(run("Visible ") + run("Hiddenword secret ", "<w:vanish/>") +
                        run("tail", "<w:b/>")) +
              paragraph(run("shown", "<w:vanish w:val=\"false\"/>")) +
              paragraph(run("gone", "<w:vanish w:val=\"1\"/>"))),
         "Visible tail\n\nshown"},
        {"a hidden paragraph mark hides no text",
         docx("<w:p><w:pPr><w:rPr><w:vanish/></w:rPr></w:pPr>" + run("kept") + "</w:p>"), "kept"},
        {"a tracked move is read where it went",
         docx(paragraph(
                  "<w:moveFromRangeStart w:id=\"1\" w:name=\"move1\"/><w:moveFrom w:id=\"2\">" +
                  run("Moved ") + "</w:moveFrom><w:moveFromRangeEnd w:id=\"1\"/>" + run("Stays")) +
              paragraph("<w:moveToRangeStart w:id=\"3\" w:name=\"move1\"/><w:moveTo w:id=\"4\">" +
                        run("Moved") + "</w:moveTo><w:moveToRangeEnd w:id=\"3\"/>")),
         "Stays\n\nMoved"},
        {"characters standing as elements",
         docx(paragraph(run("Non") + "<w:r><w:noBreakHyphen/></w:r>" + run("breaking") +
                        "<w:r><w:softHyphen/></w:r>" + run(" one") + "<w:r><w:cr/></w:r>" +
                        run("two") +
                        "<w:r><w:sym w:font=\"Symbol\" w:char=\"F061\"/>"
                        "<w:sym w:font=\"Symbol\" w:char=\"F0B9\"/><w:sym w:font=\"Wingdings\" "
                        "w:char=\"F0E0\"/><w:sym w:font=\"Arial\" w:char=\"00A9\"/><w:sym "
                        "w:font=\"Wingdings\" w:char=\"F0FC\"/></w:r>")),
         "Non\xE2\x80\x91"
         "breaking one\ntwo\xCE\xB1\xE2\x89\xA0\xEF\x83\xA0\xC2\xA9\xE2\x9C\x94"},
        {"exponents stay raised, other raised text as it is",
         docx(paragraph(run("E=mc") + run("2", "<w:vertAlign w:val=\"superscript\"/>") +
                        run(", x") + run("-1", "<w:vertAlign w:val=\"superscript\"/>") +
                        run(", 1") + run("st", "<w:vertAlign w:val=\"superscript\"/>") +
                        run(", H") + run("2", "<w:vertAlign w:val=\"subscript\"/>") + run("O"))),
         "E=mc\xC2\xB2, x\xE2\x81\xBB\xC2\xB9, 1st, H2O"},
        {"properties a tracked change replaced hide nothing",
         docx(paragraph("<w:r><w:rPr><w:b/><w:rPrChange w:id=\"5\" w:author=\"A\"><w:rPr>"
                        "<w:vanish/></w:rPr></w:rPrChange></w:rPr><w:t>shown</w:t></w:r>")),
         "shown"},
        {"equations are read with their paragraph",
         docx(paragraph(run("Area ") +
                        "<m:oMath><m:r><m:rPr><m:sty m:val=\"p\"/></m:rPr>"
                        "<m:t>A=\xCF\x80</m:t></m:r><m:sSup><m:e><m:r><m:t>r</m:t></m:r></m:e>"
                        "<m:sup><m:r><m:t>2</m:t></m:r></m:sup></m:sSup></m:oMath>")),
         "Area A=\xCF\x80r2"},
        {"a tab stop is no tab",
         docx("<w:p><w:pPr><w:tabs><w:tab w:val=\"left\" w:pos=\"720\"/></w:tabs></w:pPr>" +
              run("Text") + "<w:r><w:tab/></w:r>" + run("after") + "</w:p>"),
         "Text\tafter"},
        {"footnotes and endnotes follow the body once",
         docx(paragraph(run("Body") +
                        "<w:r><w:rPr><w:rStyle w:val=\"FootnoteReference\"/>"
                        "</w:rPr><w:footnoteReference w:id=\"1\"/></w:r>" +
                        run(" text") + "<w:r><w:endnoteReference w:id=\"1\"/></w:r>"),
              "<w:footnote w:id=\"1\">" +
                  paragraph("<w:r><w:footnoteRef/></w:r>" + run(" A footnote")) + "</w:footnote>",
              "<w:endnote w:id=\"1\">" +
                  paragraph("<w:r><w:endnoteRef/></w:r>" + run(" An endnote")) + "</w:endnote>"),
         "Body\xC2\xB9 text\xE2\x81\xB1\n\n\xC2\xB9 A footnote\n\n\xE2\x81\xB1 An endnote"},
        {"footnotes numbered in order, a custom mark as written",
         docx(paragraph(run("A") + "<w:r><w:footnoteReference w:id=\"7\"/></w:r>" + run(" B") +
                        "<w:r><w:footnoteReference w:customMarkFollows=\"1\" w:id=\"3\"/>"
                        "<w:t>*</w:t></w:r>" +
                        run(" C") + "<w:r><w:footnoteReference w:id=\"2\"/></w:r>"),
              "<w:footnote w:id=\"7\">" + paragraph("<w:r><w:footnoteRef/></w:r>" + run(" Seven")) +
                  "</w:footnote><w:footnote w:id=\"3\">" + paragraph(run("Custom")) +
                  "</w:footnote><w:footnote w:id=\"2\">" +
                  paragraph("<w:r><w:footnoteRef/></w:r>" + run(" Two")) + "</w:footnote>"),
         "A\xC2\xB9 B* C\xC2\xB2\n\n\xC2\xB9 Seven\n\nCustom\n\n\xC2\xB2 Two"},
        // Word counts endnotes "i", "ii" unless the settings say otherwise; a mark Unicode
        // cannot raise whole is written as it is.
        {"endnotes numbered in order apart from footnotes, in Word's lower Roman",
         docx(paragraph(run("A") + "<w:r><w:endnoteReference w:id=\"4\"/></w:r>" + run(" B") +
                        "<w:r><w:footnoteReference w:id=\"4\"/></w:r>" + run(" C") +
                        "<w:r><w:endnoteReference w:id=\"2\"/></w:r>"),
              "<w:footnote w:id=\"4\">" + paragraph("<w:r><w:footnoteRef/></w:r>" + run(" F")) +
                  "</w:footnote>",
              "<w:endnote w:id=\"4\">" + paragraph("<w:r><w:endnoteRef/></w:r>" + run(" Four")) +
                  "</w:endnote><w:endnote w:id=\"2\">" +
                  paragraph("<w:r><w:endnoteRef/></w:r>" + run(" Two")) + "</w:endnote>"),
         "A\xE2\x81\xB1 B\xC2\xB9 C\xE2\x81\xB1\xE2\x81\xB1\n\n\xC2\xB9 F\n\n\xE2\x81\xB1 "
         "Four\n\n\xE2\x81\xB1\xE2\x81\xB1 Two"},
        {"note numbers in the formats the settings give",
         docx(paragraph(run("A") + "<w:r><w:endnoteReference w:id=\"1\"/></w:r>" + run(" B") +
                        "<w:r><w:footnoteReference w:id=\"1\"/></w:r>"),
              "<w:footnote w:id=\"1\">" + paragraph("<w:r><w:footnoteRef/></w:r>" + run(" F")) +
                  "</w:footnote>",
              "<w:endnote w:id=\"1\">" + paragraph("<w:r><w:endnoteRef/></w:r>" + run(" E")) +
                  "</w:endnote>",
              {}, {},
              "<w:footnotePr><w:numFmt w:val=\"upperLetter\"/><w:footnote w:id=\"-1\"/>"
              "</w:footnotePr><w:endnotePr><w:numFmt w:val=\"decimal\"/></w:endnotePr>"),
         "A\xC2\xB9 BA\n\nA F\n\n\xC2\xB9 E"},
        // Word's "Start at" for the whole document.
        {"note numbers from the starts the settings give",
         docx(paragraph(run("A") + "<w:r><w:footnoteReference w:id=\"1\"/></w:r>" + run(" B") +
                        "<w:r><w:endnoteReference w:id=\"1\"/></w:r>"),
              "<w:footnote w:id=\"1\">" + paragraph("<w:r><w:footnoteRef/></w:r>" + run(" F")) +
                  "</w:footnote>",
              "<w:endnote w:id=\"1\">" + paragraph("<w:r><w:endnoteRef/></w:r>" + run(" E")) +
                  "</w:endnote>",
              {}, {},
              "<w:footnotePr><w:numStart w:val=\"12\"/></w:footnotePr>"
              "<w:endnotePr><w:numFmt w:val=\"decimal\"/><w:numStart w:val=\"4\"/></w:endnotePr>"),
         "A\xC2\xB9\xC2\xB2 B\xE2\x81\xB4\n\n\xC2\xB9\xC2\xB2 F\n\n\xE2\x81\xB4 E"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(c.document), c.text);
    }
}

// A paragraph that ends a section, as Word writes it: the section's properties in the last
// paragraph's own.
std::string sectionEnd(const std::string& runs, const std::string& properties = {}) {
    return "<w:p><w:pPr><w:sectPr>" + properties +
           "<w:pgSz w:w=\"11906\" w:h=\"16838\"/></w:sectPr></w:pPr>" + runs + "</w:p>";
}

// A footnote's or endnote's reference in the text, and the note with its number and `text`.
std::string noteReference(const std::string& kind, int id) {
    return "<w:r><w:" + kind + "Reference w:id=\"" + std::to_string(id) + "\"/></w:r>";
}

std::string note(const std::string& kind, int id, const std::string& text) {
    return "<w:" + kind + " w:id=\"" + std::to_string(id) + "\">" +
           paragraph("<w:r><w:" + kind + "Ref/></w:r>" + run(" " + text)) + "</w:" + kind + ">";
}

// A section's own note properties come after its paragraphs; its notes are numbered from its
// start where it begins them anew, on from the section before otherwise.
TEST(WordProcessorReaderTest, DocxSectionsNumberTheirNotesAsTheySay) {
    const auto footnote = [](int id) { return noteReference("footnote", id); };
    const auto endnote = [](int id) { return noteReference("endnote", id); };
    // The notes 1 to `count` of a kind, "f1" or "e1" on.
    const auto notes = [](const std::string& kind, int count) {
        std::string all;
        for (int id = 1; id <= count; ++id) {
            all += note(kind, id, kind.substr(0, 1) + std::to_string(id));
        }
        return all;
    };
    const std::string decimalEndnotes = "<w:endnotePr><w:numFmt w:val=\"decimal\"/></w:endnotePr>";
    const auto restart = [](const std::string& kind, const std::string& how) {
        return "<w:" + kind + "Pr><w:numRestart w:val=\"" + how + "\"/></w:" + kind + "Pr>";
    };
    const auto start = [](const std::string& kind, int from) {
        return "<w:" + kind + "Pr><w:numStart w:val=\"" + std::to_string(from) + "\"/></w:" + kind +
               "Pr>";
    };
    struct Case {
        std::string name;
        std::string document;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a section's own start, and the sections after it counting on",
         docx(paragraph(run("A") + footnote(1)) + sectionEnd(run("B") + footnote(2)) +
                  paragraph(run("C") + footnote(3)) +
                  sectionEnd(run("D") + footnote(4), start("footnote", 5)) +
                  paragraph(run("E") + footnote(5)),
              notes("footnote", 5)),
         "A\xC2\xB9\n\nB\xC2\xB2\n\nC\xE2\x81\xB5\n\nD\xE2\x81\xB6\n\nE\xE2\x81\xB7\n\n"
         "\xC2\xB9 f1\n\n\xC2\xB2 f2\n\n\xE2\x81\xB5 f3\n\n\xE2\x81\xB6 f4\n\n\xE2\x81\xB7 f5"},
        {"the last section's properties are the body's own",
         docx(paragraph(run("A") + footnote(1)) + sectionEnd(run("B")) +
                  paragraph(run("C") + footnote(2)),
              notes("footnote", 2), {}, {}, {}, {},
              "<w:sectPr>" + start("footnote", 6) + "</w:sectPr>"),
         "A\xC2\xB9\n\nB\n\nC\xE2\x81\xB6\n\n\xC2\xB9 f1\n\n\xE2\x81\xB6 f2"},
        {"sections counted anew from the document's start, a continuous one counting on",
         docx(paragraph(run("A") + footnote(1)) + paragraph(run("B") + footnote(2)) +
                  sectionEnd(run("C"), restart("footnote", "eachSect")) +
                  sectionEnd(run("D") + footnote(3)) + paragraph(run("E") + footnote(4)),
              notes("footnote", 4), {}, {}, {}, start("footnote", 3),
              "<w:sectPr>" + restart("footnote", "eachSect") + "</w:sectPr>"),
         "A\xC2\xB3\n\nB\xE2\x81\xB4\n\nC\n\nD\xE2\x81\xB5\n\nE\xC2\xB3\n\n\xC2\xB3 f1\n\n"
         "\xE2\x81\xB4 f2\n\n\xE2\x81\xB5 f3\n\n\xC2\xB3 f4"},
        {"the document counting each section anew, but for a continuous one",
         docx(sectionEnd(run("A") + footnote(1)) +
                  sectionEnd(run("B") + footnote(2), restart("footnote", "continuous")) +
                  paragraph(run("C") + footnote(3)),
              notes("footnote", 3), {}, {}, {}, restart("footnote", "eachSect")),
         "A\xC2\xB9\n\nB\xC2\xB2\n\nC\xC2\xB9\n\n\xC2\xB9 f1\n\n\xC2\xB2 f2\n\n\xC2\xB9 f3"},
        // Pages are not known here: notes counted on each page count on instead.
        {"endnotes apart from footnotes; pages and replaced properties begin nothing",
         docx(sectionEnd(run("A") + endnote(1) + footnote(1),
                         restart("footnote", "eachPage") + start("endnote", 4)) +
                  "<w:p><w:pPr><w:pPrChange w:id=\"1\" w:author=\"A\"><w:pPr><w:sectPr>" +
                  start("footnote", 9) + "</w:sectPr></w:pPr></w:pPrChange></w:pPr>" + run("B") +
                  endnote(2) + footnote(2) + "</w:p>",
              notes("footnote", 2), notes("endnote", 2), {}, {}, decimalEndnotes,
              "<w:sectPr>" + restart("footnote", "eachPage") +
                  "<w:sectPrChange w:id=\"2\" w:author=\"A\"><w:sectPr>" + start("endnote", 7) +
                  "</w:sectPr></w:sectPrChange></w:sectPr>"),
         "A\xE2\x81\xB4\xC2\xB9\n\nB\xE2\x81\xB5\xC2\xB2\n\n\xC2\xB9 f1\n\n\xC2\xB2 f2\n\n"
         "\xE2\x81\xB4 e1\n\n\xE2\x81\xB5 e2"},
        // A section's own format numbers its notes, in the text and in the notes after it.
        {"a section's own note format, the sections after it in the document's",
         docx(sectionEnd(run("A") + footnote(1) + footnote(2),
                         "<w:footnotePr><w:numFmt w:val=\"lowerLetter\"/></w:footnotePr>") +
                  paragraph(run("B") + footnote(3)),
              notes("footnote", 3)),
         "Aab\n\nB\xC2\xB3\n\na f1\n\nb f2\n\n\xC2\xB3 f3"},
        {"the last section's note formats, over the document's",
         docx(paragraph(run("A") + footnote(1) + endnote(1)), notes("footnote", 1),
              notes("endnote", 1), {}, {},
              "<w:footnotePr><w:numFmt w:val=\"upperRoman\"/></w:footnotePr>",
              "<w:sectPr><w:footnotePr><w:numFmt w:val=\"chicago\"/></w:footnotePr>"
              "<w:endnotePr><w:numFmt w:val=\"bullet\"/><w:numStart w:val=\"2\"/>"
              "</w:endnotePr></w:sectPr>"),
         "A*\xC2\xB2\n\n* f1\n\n\xC2\xB2 e1"},
        {"a section break in alternate content's fallback ends no section",
         docx("<mc:AlternateContent><mc:Choice Requires=\"wps\">" +
                  paragraph(run("A") + footnote(1)) + "</mc:Choice><mc:Fallback>" +
                  sectionEnd(run("A") + footnote(1), start("footnote", 5)) +
                  "</mc:Fallback></mc:AlternateContent>" + paragraph(run("B") + footnote(2)),
              notes("footnote", 2)),
         "A\xC2\xB9\n\nB\xC2\xB2\n\n\xC2\xB9 f1\n\n\xC2\xB2 f2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(c.document), c.text);
    }
}

// A list item reads with the number or bullet Word shows before it, counted as Word counts.
TEST(WordProcessorReaderTest, DocxListItemsKeepTheirNumbers) {
    const std::string numbering =
        "<w:abstractNum w:abstractNumId=\"0\"><w:multiLevelType w:val=\"hybridMultilevel\"/>"
        "<w:lvl w:ilvl=\"0\"><w:start w:val=\"1\"/><w:numFmt w:val=\"decimal\"/>"
        "<w:lvlText w:val=\"%1.\"/><w:lvlJc w:val=\"left\"/><w:pPr><w:ind w:left=\"720\" "
        "w:hanging=\"360\"/></w:pPr></w:lvl><w:lvl w:ilvl=\"1\"><w:start w:val=\"1\"/>"
        "<w:numFmt w:val=\"lowerLetter\"/><w:lvlText w:val=\"%1.%2)\"/></w:lvl>"
        "<w:lvl w:ilvl=\"2\"><w:start w:val=\"4\"/><w:numFmt w:val=\"upperRoman\"/>"
        "<w:lvlText w:val=\"%3.\"/></w:lvl></w:abstractNum>"
        "<w:abstractNum w:abstractNumId=\"1\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"1\"/>"
        "<w:numFmt w:val=\"bullet\"/><w:lvlText w:val=\"\xEF\x82\xB7\"/><w:rPr><w:rFonts "
        "w:ascii=\"Symbol\" w:hAnsi=\"Symbol\" w:hint=\"default\"/></w:rPr></w:lvl>"
        "<w:lvl w:ilvl=\"1\"><w:numFmt w:val=\"bullet\"/><w:lvlText w:val=\"o\"/><w:rPr>"
        "<w:rFonts w:ascii=\"Courier New\"/></w:rPr></w:lvl></w:abstractNum>"
        "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>"
        "<w:num w:numId=\"2\"><w:abstractNumId w:val=\"1\"/></w:num>";
    const auto item = [](int list, int level, const std::string& text,
                         const std::string& mark = "<w:rPr><w:lang w:val=\"en-GB\"/></w:rPr>") {
        return "<w:p><w:pPr><w:pStyle w:val=\"ListParagraph\"/><w:numPr><w:ilvl w:val=\"" +
               std::to_string(level) + "\"/><w:numId w:val=\"" + std::to_string(list) +
               "\"/></w:numPr>" + mark + "</w:pPr>" + run(text) + "</w:p>";
    };
    const auto body = item(1, 0, "First") + item(1, 1, "Sub") + item(1, 1, "Sub two") +
                      item(1, 2, "Deep") + item(1, 0, "Second") + item(1, 1, "Sub again") +
                      item(2, 0, "Bullet") + item(2, 1, "Inner") + item(0, 0, "Not a list item") +
                      "<w:p><w:pPr><w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"1\"/></w:numPr>"
                      "<w:pPrChange w:id=\"1\" w:author=\"A\"><w:pPr><w:numPr><w:ilvl w:val=\"0\"/>"
                      "<w:numId w:val=\"2\"/></w:numPr></w:pPr></w:pPrChange></w:pPr>" +
                      run("Third") + "</w:p>" + paragraph(run("Plain"));
    EXPECT_EQ(WordProcessorReader::documentText(docx(body, {}, {}, numbering)),
              "1.\tFirst\n\n1.a)\tSub\n\n1.b)\tSub two\n\nIV.\tDeep\n\n2.\tSecond\n\n2.a)\tSub "
              "again\n\n\xE2\x80\xA2\tBullet\n\no\tInner\n\nNot a list item\n\n3.\tThird\n\nPlain");
    // Numbers in words are spelled in the document's language (its default run properties').
    const std::string words =
        "<w:abstractNum w:abstractNumId=\"0\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"20\"/>"
        "<w:numFmt w:val=\"cardinalText\"/><w:lvlText w:val=\"%1.\"/></w:lvl></w:abstractNum>"
        "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>";
    const std::string german =
        "<w:docDefaults><w:rPrDefault><w:rPr><w:lang w:val=\"de-DE\" w:eastAsia=\"en-US\"/>"
        "</w:rPr></w:rPrDefault></w:docDefaults><w:style w:type=\"paragraph\" "
        "w:styleId=\"Quote\"><w:rPr><w:lang w:val=\"en-GB\"/></w:rPr></w:style>";
    EXPECT_EQ(WordProcessorReader::documentText(
                  docx(item(1, 0, "Punkt", {}) + item(1, 0, "Weiter", {}), {}, {}, words, german)),
              "Zwanzig.\tPunkt\n\nEinundzwanzig.\tWeiter");
    EXPECT_EQ(WordProcessorReader::documentText(docx(item(1, 0, "Point"), {}, {}, words)),
              "Twenty.\tPoint");
    // A start past what a list counts to is taken as the most it counts to.
    const std::string huge =
        "<w:abstractNum w:abstractNumId=\"0\"><w:lvl w:ilvl=\"0\"><w:start "
        "w:val=\"9223372036854775807\"/><w:lvlText w:val=\"%1.\"/></w:lvl></w:abstractNum>"
        "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>";
    EXPECT_EQ(
        WordProcessorReader::documentText(docx(item(1, 0, "a") + item(1, 0, "b"), {}, {}, huge)),
        "1000000000.\ta\n\n1000000001.\tb");
    // Without its definitions a list reads without numbers.
    EXPECT_EQ(WordProcessorReader::documentText(docx(item(1, 0, "First"))), "First");
}

// Numbers in words and ordinals are written in the language of their paragraph, as Word takes
// it: the paragraph mark's, else its run's (as python-docx sets it), else its style's through
// the styles it is based on (the default paragraph style's for a paragraph of none), else the
// document's defaults.
TEST(WordProcessorReaderTest, DocxListNumbersAreInTheirParagraphsLanguage) {
    const auto numbering = [](const std::string& format, const std::string& text) {
        return "<w:abstractNum w:abstractNumId=\"0\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"1\"/>"
               "<w:numFmt w:val=\"" +
               format + "\"/><w:lvlText w:val=\"" + text +
               "\"/></w:lvl></w:abstractNum><w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/>"
               "</w:num>";
    };
    const auto lang = [](const std::string& tag) {
        return "<w:rPr><w:lang w:val=\"" + tag + "\" w:eastAsia=\"ko-KR\"/></w:rPr>";
    };
    const auto styles = [&](const std::string& defaults, const std::string& normal,
                            const std::string& listParagraph) {
        return "<w:docDefaults><w:rPrDefault>" + lang(defaults) +
               "</w:rPrDefault></w:docDefaults><w:style w:type=\"paragraph\" w:default=\"1\" "
               "w:styleId=\"Normal\"><w:name w:val=\"Normal\"/>" +
               (normal.empty() ? "" : lang(normal)) +
               "</w:style><w:style w:type=\"paragraph\" w:styleId=\"ListParagraph\"><w:basedOn "
               "w:val=\"Normal\"/><w:pPr><w:ind w:left=\"720\"/></w:pPr>" +
               (listParagraph.empty() ? "" : lang(listParagraph)) + "</w:style>";
    };
    const auto item = [](const std::string& style, const std::string& mark,
                         const std::string& runProperties) {
        return "<w:p><w:pPr>" + (style.empty() ? "" : "<w:pStyle w:val=\"" + style + "\"/>") +
               "<w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"1\"/></w:numPr>" + mark +
               "</w:pPr>" + run("x", runProperties) + "</w:p>";
    };
    const auto runLang = [](const std::string& tag) { return "<w:lang w:val=\"" + tag + "\"/>"; };
    struct Case {
        std::string name;
        std::string numbering;
        std::string styles;
        std::string paragraph;
        std::string marker;
    };
    const auto cardinal = numbering("cardinalText", "%1.");
    const std::vector<Case> cases = {
        {"the document's defaults", cardinal, styles("de-DE", {}, {}),
         item("ListParagraph", {}, {}), "Eins."},
        {"the default paragraph style's, for a paragraph of none", cardinal,
         styles("de-DE", "es-ES", {}), item({}, {}, {}), "Uno."},
        {"the default paragraph style's, for a style not defined", cardinal,
         styles("de-DE", "it-IT", {}), item("Missing", {}, {}), "Uno."},
        {"the style the paragraph's is based on", cardinal, styles("de-DE", "sv-SE", {}),
         item("ListParagraph", {}, {}), "Ett."},
        {"the paragraph's style over the one it is based on", cardinal,
         styles("de-DE", "sv-SE", "fr-FR"), item("ListParagraph", {}, {}), "Un."},
        {"the paragraph mark's over its style", cardinal, styles("de-DE", "sv-SE", {}),
         item("ListParagraph", lang("es-MX"), {}), "Uno."},
        {"the run's where the mark names none", cardinal, styles("de-DE", {}, {}),
         item("ListParagraph", {}, runLang("pl-PL")), "Jeden."},
        {"the mark's over the run's", cardinal, styles("de-DE", {}, {}),
         item("ListParagraph", lang("en-GB"), runLang("pl-PL")), "One."},
        {"a tracked change's old language is not the mark's", cardinal, styles("de-DE", {}, {}),
         item("ListParagraph",
              "<w:rPr><w:lang w:val=\"de-AT\"/><w:rPrChange w:id=\"1\" w:author=\"A\"><w:rPr>"
              "<w:lang w:val=\"fr-FR\"/></w:rPr></w:rPrChange></w:rPr>",
              {}),
         "Eins."},
        {"ordinals in German", numbering("ordinal", "%1"), styles("de-DE", {}, {}),
         item({}, {}, {}), "1."},
        {"ordinals in French", numbering("ordinal", "%1"), styles("en-US", "fr-FR", {}),
         item({}, {}, {}), "1er"},
        {"ordinals in English", numbering("ordinal", "%1."), styles("en-US", {}, {}),
         item({}, {}, {}), "1st."},
        {"ordinal words in Spanish", numbering("ordinalText", "%1"), styles("es-ES", {}, {}),
         item({}, {}, {}), "Primero"},
        {"ordinal words in Polish", numbering("ordinalText", "%1"), styles("pl-PL", {}, {}),
         item({}, {}, {}), "Pierwszy"},
        {"a language ICU has no words for is English", cardinal, styles("tlh", {}, {}),
         item({}, {}, {}), "One."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(
            WordProcessorReader::documentText(docx(c.paragraph, {}, {}, c.numbering, c.styles)),
            c.marker + "\tx");
    }
}

// Lists numbered in other scripts read as Word shows them ("가." is the first level of a
// Korean document), and a list that starts at 0 reads "0." whatever its format.
TEST(WordProcessorReaderTest, DocxListsOfEveryScriptKeepTheirNumbers) {
    struct Case {
        std::string format;
        int start;
        std::string markers;
    };
    const std::vector<Case> cases = {
        {"ganada", 1, "\uAC00.|\uB098.|\uB2E4."},
        {"chosung", 1, "\u3131.|\u3134.|\u3137."},
        {"aiueoFullWidth", 1, "\u30A2.|\u30A4.|\u30A6."},
        {"iroha", 1, "\uFF72.|\uFF9B.|\uFF8A."},
        {"ideographTraditional", 1, "\u7532.|\u4E59.|\u4E19."},
        {"chineseLegalSimplified", 1, "\u58F9.|\u8D30.|\u53C1."},
        {"arabicAbjad", 1, "\u0627.|\u0628.|\u062C."},
        {"thaiNumbers", 1, "\u0E51.|\u0E52.|\u0E53."},
        {"hindiConsonants", 1, "\u0915.|\u0916.|\u0917."},
        {"decimalZero", 0, "0.|01.|02."},
        {"ordinal", 0, "0.|1st.|2nd."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const auto numbering =
            "<w:abstractNum w:abstractNumId=\"0\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"" +
            std::to_string(c.start) + "\"/><w:numFmt w:val=\"" + c.format +
            "\"/><w:lvlText w:val=\"%1.\"/></w:lvl></w:abstractNum>"
            "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>";
        std::string body;
        std::string expected;
        std::size_t at = 0;
        for (int i = 1; i <= 3; ++i) {
            const auto end = std::min(c.markers.find('|', at), c.markers.size());
            body +=
                "<w:p><w:pPr><w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"1\"/>"
                "</w:numPr></w:pPr>" +
                run("item") + "</w:p>";
            expected += (i == 1 ? "" : "\n\n") + c.markers.substr(at, end - at) + "\titem";
            at = end + 1;
        }
        EXPECT_EQ(WordProcessorReader::documentText(docx(body, {}, {}, numbering)), expected);
    }
    // A custom format, with the fallback Word and LibreOffice write after it.
    const auto custom = [](const std::string& format) {
        return "<w:abstractNum w:abstractNumId=\"0\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"7\"/>"
               "<mc:AlternateContent><mc:Choice Requires=\"w14\"><w:numFmt w:val=\"custom\" "
               "w:format=\"" +
               format +
               "\"/></mc:Choice><mc:Fallback><w:numFmt w:val=\"decimal\"/></mc:Fallback>"
               "</mc:AlternateContent><w:lvlText w:val=\"%1.\"/></w:lvl></w:abstractNum>"
               "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>";
    };
    const auto item =
        "<w:p><w:pPr><w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"1\"/></w:numPr>"
        "</w:pPr>" +
        run("item") + "</w:p>";
    EXPECT_EQ(WordProcessorReader::documentText(docx(item, {}, {}, custom("001, 002, 003, ..."))),
              "007.\titem");
    EXPECT_EQ(WordProcessorReader::documentText(docx(item, {}, {}, custom("Item #1"))), "7.\titem");
}

// Equations read as linear text and ruby as its base with its reading after it; a document in
// Strict Open XML reads as a transitional one.
TEST(WordProcessorReaderTest, DocxEquationsRubyAndStrictMarkupReadAsShown) {
    const auto math = [](const std::string& text) { return "<m:r><m:t>" + text + "</m:t></m:r>"; };
    const auto fraction = [](const std::string& numerator, const std::string& denominator) {
        return "<m:f><m:fPr><m:ctrlPr/></m:fPr><m:num>" + numerator + "</m:num><m:den>" +
               denominator + "</m:den></m:f>";
    };
    const auto ruby = [](const std::string& reading, const std::string& base) {
        return "<w:r><w:ruby><w:rubyPr><w:rubyAlign w:val=\"distributeSpace\"/></w:rubyPr><w:rt>" +
               run(reading) + "</w:rt><w:rubyBase>" + run(base) + "</w:rubyBase></w:ruby></w:r>";
    };
    struct Case {
        std::string name;
        std::string document;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a fraction of sums",
         docx(paragraph(run("x = ") + "<m:oMath>" + fraction(math("a+b"), math("c")) +
                        "</m:oMath>")),
         "x = (a+b)/c"},
        {"a fraction of fractions",
         docx(paragraph("<m:oMathPara><m:oMath>" +
                        fraction(fraction(math("1"), math("2")), math("x\xE2\x88\x92y")) +
                        math("=z") + "</m:oMath></m:oMathPara>")),
         "(1/2)/(x\xE2\x88\x92y)=z"},
        {"a fraction of single characters",
         docx(paragraph("<m:oMath>" + fraction(math("\xCF\x80"), math("4")) + "</m:oMath>")),
         "\xCF\x80/4"},
        {"ruby after its base",
         docx(paragraph(ruby("\xE3\x81\x8B\xE3\x82\x93", "\xE6\xBC\xA2") + run("\xE5\xAD\x97"))),
         "\xE6\xBC\xA2(\xE3\x81\x8B\xE3\x82\x93)\xE5\xAD\x97"},
        {"Strict Open XML",
         test::zipArchive(
             {{"word/document.xml",
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?><w:document "
               "xmlns:w=\"http://purl.oclc.org/ooxml/wordprocessingml/main\" "
               "xmlns:m=\"http://purl.oclc.org/ooxml/officeDocument/math\" "
               "w:conformance=\"strict\"><w:body><w:p><w:r><w:t>Strict</w:t></w:r>"
               "<w:r><w:rPr><w:vanish w:val=\"true\"/></w:rPr><w:t>hidden</w:t></w:r>"
               "<m:oMath><m:r><m:t> e=mc</m:t></m:r></m:oMath></w:p></w:body></w:document>"}}),
         "Strict e=mc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(c.document), c.text);
    }
    // Ruby in an .odt: its base, then its reading.
    EXPECT_EQ(WordProcessorReader::documentText(test::odtDocument(
                  "<text:p><text:ruby><text:ruby-base>\xE6\xBC\xA2</text:ruby-base><text:ruby-text>"
                  "\xE3\x81\x8B\xE3\x82\x93</text:ruby-text></text:ruby></text:p>")),
              "\xE6\xBC\xA2(\xE3\x81\x8B\xE3\x82\x93)");
}

// Lists restarted, continued and overridden as Word and LibreOffice show them, with numbers only
// for the items the author sees.
TEST(WordProcessorReaderTest, DocxListsCountAsTheirInstancesSay) {
    const auto level = [](int index, const std::string& format, const std::string& text,
                          const std::string& font = {}) {
        return "<w:lvl w:ilvl=\"" + std::to_string(index) +
               "\"><w:start w:val=\"1\"/><w:numFmt w:val=\"" + format + "\"/><w:lvlText w:val=\"" +
               text + "\"/>" +
               (font.empty() ? ""
                             : "<w:rPr><w:rFonts w:ascii=\"" + font + "\" w:hAnsi=\"" + font +
                                   "\"/></w:rPr>") +
               "</w:lvl>";
    };
    const std::string numbering =
        "<w:abstractNum w:abstractNumId=\"0\">" + level(0, "decimal", "%1.") +
        level(1, "lowerLetter", "%2)") +
        "</w:abstractNum>"
        "<w:abstractNum w:abstractNumId=\"1\">" +
        level(0, "bullet", "\xEF\x82\xB7", "Symbol") + level(1, "bullet", "o", "Courier New") +
        level(2, "bullet", "\xEF\x82\xA7", "Wingdings") +
        "</w:abstractNum>"
        "<w:abstractNum w:abstractNumId=\"2\">" +
        level(0, "upperLetter", "%1.") +
        "</w:abstractNum>"
        "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>"
        "<w:num w:numId=\"2\"><w:abstractNumId w:val=\"0\"/><w:lvlOverride w:ilvl=\"0\">"
        "<w:startOverride w:val=\"1\"/></w:lvlOverride></w:num>"
        "<w:num w:numId=\"3\"><w:abstractNumId w:val=\"0\"/></w:num>"
        "<w:num w:numId=\"4\"><w:abstractNumId w:val=\"0\"/><w:lvlOverride w:ilvl=\"0\">"
        "<w:startOverride w:val=\"5\"/></w:lvlOverride></w:num>"
        "<w:num w:numId=\"5\"><w:abstractNumId w:val=\"0\"/><w:lvlOverride w:ilvl=\"0\">"
        "<w:lvl w:ilvl=\"0\"><w:start w:val=\"2\"/><w:numFmt w:val=\"lowerRoman\"/>"
        "<w:lvlText w:val=\"(%1)\"/></w:lvl></w:lvlOverride></w:num>"
        "<w:num w:numId=\"6\"><w:abstractNumId w:val=\"1\"/></w:num>"
        "<w:num w:numId=\"7\"><w:abstractNumId w:val=\"2\"/></w:num>"
        "<w:num w:numId=\"8\"><w:abstractNumId w:val=\"2\"/><w:lvlOverride w:ilvl=\"0\">"
        "<w:startOverride w:val=\"5\"/></w:lvlOverride></w:num>";
    const auto item = [](int list, int ilvl, const std::string& content,
                         const std::string& mark = {}) {
        return "<w:p><w:pPr><w:pStyle w:val=\"ListParagraph\"/><w:numPr><w:ilvl w:val=\"" +
               std::to_string(ilvl) + "\"/><w:numId w:val=\"" + std::to_string(list) +
               "\"/></w:numPr><w:rPr>" + mark + "</w:rPr></w:pPr>" + content + "</w:p>";
    };
    const std::string deleted = "<w:del w:id=\"9\" w:author=\"A\"/>";
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a list restarted by an override begins again at 1",
         item(1, 0, run("a")) + item(1, 0, run("b")) + paragraph(run("Between")) +
             item(2, 0, run("c")) + item(2, 0, run("d")),
         "1.\ta\n\n2.\tb\n\nBetween\n\n1.\tc\n\n2.\td"},
        {"a restart by an override on its first item alone, as LibreOffice writes it",
         item(1, 0, run("a")) + item(1, 0, run("b")) + item(1, 0, run("c")) + item(2, 0, run("d")) +
             item(1, 0, run("e")) + item(1, 0, run("f")),
         "1.\ta\n\n2.\tb\n\n3.\tc\n\n1.\td\n\n2.\te\n\n3.\tf"},
        {"a start value on the first item alone",
         item(8, 0, run("a")) + item(7, 0, run("b")) + item(7, 0, run("c")),
         "E.\ta\n\nF.\tb\n\nG.\tc"},
        {"instances of one list without an override count on",
         item(1, 0, run("a")) + paragraph(run("Between")) + item(3, 0, run("b")),
         "1.\ta\n\nBetween\n\n2.\tb"},
        {"an override starts where it says",
         item(4, 0, run("a")) + item(4, 1, run("sub")) + item(4, 0, run("b")),
         "5.\ta\n\na)\tsub\n\n6.\tb"},
        {"a level defined anew by an instance", item(5, 0, run("a")) + item(5, 0, run("b")),
         "(ii)\ta\n\n(iii)\tb"},
        {"a deleted item has no number",
         item(1, 0, run("a")) +
             item(1, 0,
                  "<w:del w:id=\"8\" w:author=\"A\">" +
                      std::string("<w:r><w:delText>gone</w:delText></w:r></w:del>"),
                  deleted) +
             item(1, 0, run("b")),
         "1.\ta\n\n2.\tb"},
        {"a hidden item has no number",
         item(1, 0, run("a")) + item(1, 0, run("secret", "<w:vanish/>"), "<w:vanish/>") +
             item(1, 0, run("b")),
         "1.\ta\n\n2.\tb"},
        {"an empty item that shows keeps its number", item(1, 0, "") + item(1, 0, run("b")),
         "1.\t\n\n2.\tb"},
        {"Symbol, Courier and Wingdings bullets",
         item(6, 0, run("a")) + item(6, 1, run("b")) + item(6, 2, run("c")),
         "\xE2\x80\xA2\ta\n\no\tb\n\n\xE2\x96\xAA\tc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(docx(c.body, {}, {}, numbering)), c.text);
    }
}

// Numbering given by a paragraph style, as python-docx's "List Number" and "List Bullet" and
// headings linked to a list give it: through the styles a style is based on, at the level the
// style names or the list links to it.
TEST(WordProcessorReaderTest, DocxStylesNumberTheirParagraphs) {
    const auto level = [](int index, const std::string& style, const std::string& format,
                          const std::string& text) {
        return "<w:lvl w:ilvl=\"" + std::to_string(index) +
               "\"><w:start w:val=\"1\"/><w:numFmt w:val=\"" + format + "\"/>" +
               (style.empty() ? "" : "<w:pStyle w:val=\"" + style + "\"/>") +
               "<w:lvlText w:val=\"" + text + "\"/></w:lvl>";
    };
    const std::string numbering =
        "<w:abstractNum w:abstractNumId=\"7\">" + level(0, "ListNumber", "decimal", "%1.") +
        "</w:abstractNum><w:abstractNum w:abstractNumId=\"8\"><w:lvl w:ilvl=\"0\">"
        "<w:numFmt w:val=\"bullet\"/><w:pStyle w:val=\"ListBullet\"/><w:lvlText "
        "w:val=\"\xEF\x82\xB7\"/><w:rPr><w:rFonts w:ascii=\"Symbol\"/></w:rPr></w:lvl>"
        "</w:abstractNum><w:abstractNum w:abstractNumId=\"2\">" +
        level(0, "Heading1", "decimal", "%1") + level(1, "Heading2", "decimal", "%1.%2") +
        level(2, {}, "lowerLetter", "%3)") +
        "</w:abstractNum>"
        "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"8\"/></w:num>"
        "<w:num w:numId=\"5\"><w:abstractNumId w:val=\"7\"/></w:num>"
        "<w:num w:numId=\"3\"><w:abstractNumId w:val=\"2\"/></w:num>"
        // A list of Word's list style "Outline": its levels are those of the list the numbering
        // style names.
        "<w:abstractNum w:abstractNumId=\"4\"><w:numStyleLink w:val=\"Outline\"/>"
        "</w:abstractNum><w:abstractNum w:abstractNumId=\"5\"><w:styleLink "
        "w:val=\"Outline\"/>" +
        level(0, {}, "upperRoman", "%1.") + level(1, {}, "decimal", "%1.%2") +
        "</w:abstractNum>"
        "<w:num w:numId=\"6\"><w:abstractNumId w:val=\"5\"/></w:num>"
        "<w:num w:numId=\"7\"><w:abstractNumId w:val=\"4\"/></w:num>";
    const auto style = [](const std::string& id, const std::string& basedOn,
                          const std::string& numPr) {
        return "<w:style w:type=\"paragraph\" w:styleId=\"" + id + "\"><w:name w:val=\"" + id +
               "\"/>" + (basedOn.empty() ? "" : "<w:basedOn w:val=\"" + basedOn + "\"/>") +
               "<w:pPr>" + (numPr.empty() ? "" : "<w:numPr>" + numPr + "</w:numPr>") +
               "<w:contextualSpacing/></w:pPr><w:rPr><w:b/></w:rPr></w:style>";
    };
    const std::string styles =
        "<w:docDefaults><w:pPrDefault><w:pPr/></w:pPrDefault></w:docDefaults>"
        "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name "
        "w:val=\"Normal\"/></w:style>" +
        style("ListNumber", "Normal", "<w:numId w:val=\"5\"/>") +
        style("ListBullet", "Normal", "<w:numId w:val=\"1\"/>") +
        style("Heading1", "Normal", "<w:numId w:val=\"3\"/>") + style("Heading2", "Heading1", "") +
        style("Heading3", "Heading1", "<w:ilvl w:val=\"2\"/>") + style("Loop", "Loop", "") +
        "<w:style w:type=\"character\" w:styleId=\"Strong\"><w:pPr><w:numPr><w:numId "
        "w:val=\"5\"/></w:numPr></w:pPr></w:style>"
        "<w:style w:type=\"numbering\" w:styleId=\"Outline\"><w:pPr><w:numPr><w:numId "
        "w:val=\"6\"/></w:numPr></w:pPr></w:style>";
    const auto styled = [](const std::string& id, const std::string& text,
                           const std::string& numPr = {}) {
        return "<w:p><w:pPr><w:pStyle w:val=\"" + id + "\"/>" +
               (numPr.empty() ? "" : "<w:numPr>" + numPr + "</w:numPr>") + "</w:pPr>" + run(text) +
               "</w:p>";
    };
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"List Number and List Bullet",
         styled("ListNumber", "one") + styled("ListNumber", "two") + paragraph(run("Between")) +
             styled("ListNumber", "three") + styled("ListBullet", "dot"),
         "1.\tone\n\n2.\ttwo\n\nBetween\n\n3.\tthree\n\n\xE2\x80\xA2\tdot"},
        {"headings linked to a list",
         styled("Heading1", "Introduction") + styled("Heading2", "Scope") +
             styled("Heading2", "Terms") + styled("Heading3", "Words") +
             styled("Heading1", "Method") + styled("Heading2", "Data"),
         "1\tIntroduction\n\n1.1\tScope\n\n1.2\tTerms\n\na)\tWords\n\n2\tMethod\n\n2.1\tData"},
        {"a paragraph's own numbering before its style's",
         styled("ListNumber", "one") + styled("ListNumber", "none", "<w:numId w:val=\"0\"/>") +
             styled("ListNumber", "dot", "<w:numId w:val=\"1\"/>") +
             styled("Heading1", "Deeper", "<w:ilvl w:val=\"1\"/>"),
         "1.\tone\n\nnone\n\n\xE2\x80\xA2\tdot\n\n1.1\tDeeper"},
        {"a list of a list style",
         styled("Normal", "one", "<w:numId w:val=\"7\"/>") +
             styled("Normal", "sub", "<w:ilvl w:val=\"1\"/><w:numId w:val=\"7\"/>") +
             styled("Normal", "two", "<w:numId w:val=\"7\"/>"),
         "I.\tone\n\nI.1\tsub\n\nII.\ttwo"},
        {"styles of no list, unknown, in a loop or not of paragraphs number nothing",
         styled("Normal", "a") + styled("Missing", "b") + styled("Loop", "c") +
             styled("Strong", "d"),
         "a\n\nb\n\nc\n\nd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(docx(c.body, {}, {}, numbering, styles)),
                  c.text);
    }
}

// Lists as pandoc, Word and python-docx write them: pandoc's nested lists (a new instance
// overriding the start of all nine levels), a start override on a deeper level, legal
// numbering, w:lvlRestart, and two lists of one Word list style.
TEST(WordProcessorReaderTest, DocxListsCountAsWordCountsThem) {
    const auto level = [](int index, const std::string& format, const std::string& text,
                          const std::string& more = {}) {
        return "<w:lvl w:ilvl=\"" + std::to_string(index) +
               "\"><w:start w:val=\"1\"/><w:numFmt w:val=\"" + format + "\"/>" + more +
               "<w:lvlText w:val=\"" + text + "\"/></w:lvl>";
    };
    std::string allNine;
    for (int index = 0; index < 9; ++index) {
        allNine += "<w:lvlOverride w:ilvl=\"" + std::to_string(index) +
                   "\"><w:startOverride w:val=\"1\"/></w:lvlOverride>";
    }
    const std::string numbering =
        "<w:abstractNum w:abstractNumId=\"0\">" + level(0, "decimal", "%1.") +
        level(1, "lowerLetter", "%2)") +
        "</w:abstractNum>"
        "<w:abstractNum w:abstractNumId=\"1\">" +
        level(0, "upperRoman", "%1.") + level(1, "decimal", "%1.%2", "<w:isLgl/>") +
        level(2, "lowerLetter", "%1.%2.%3", "<w:isLgl w:val=\"0\"/>") +
        "</w:abstractNum>"
        "<w:abstractNum w:abstractNumId=\"2\">" +
        level(0, "decimal", "%1.") + level(1, "lowerLetter", "%2)", "<w:lvlRestart w:val=\"0\"/>") +
        level(2, "lowerRoman", "(%3)", "<w:lvlRestart w:val=\"1\"/>") +
        "</w:abstractNum>"
        // Two lists of the list style "Outline", each with an abstract numbering of its own
        // that takes the style's levels.
        "<w:abstractNum w:abstractNumId=\"3\"><w:styleLink w:val=\"Outline\"/>" +
        level(0, "decimal", "%1.") +
        "</w:abstractNum><w:abstractNum w:abstractNumId=\"4\"><w:numStyleLink "
        "w:val=\"Outline\"/></w:abstractNum><w:abstractNum w:abstractNumId=\"5\">"
        "<w:numStyleLink w:val=\"Outline\"/></w:abstractNum>"
        "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>"
        "<w:num w:numId=\"2\"><w:abstractNumId w:val=\"0\"/>" +
        allNine +
        "</w:num>"
        "<w:num w:numId=\"3\"><w:abstractNumId w:val=\"0\"/><w:lvlOverride w:ilvl=\"1\">"
        "<w:startOverride w:val=\"4\"/></w:lvlOverride></w:num>"
        "<w:num w:numId=\"4\"><w:abstractNumId w:val=\"1\"/></w:num>"
        "<w:num w:numId=\"5\"><w:abstractNumId w:val=\"2\"/></w:num>"
        "<w:num w:numId=\"6\"><w:abstractNumId w:val=\"3\"/></w:num>"
        "<w:num w:numId=\"7\"><w:abstractNumId w:val=\"4\"/></w:num>"
        "<w:num w:numId=\"8\"><w:abstractNumId w:val=\"5\"/></w:num>"
        // Levels without a start, as LibreOffice writes a level that begins at 0.
        "<w:abstractNum w:abstractNumId=\"6\"><w:lvl w:ilvl=\"0\"><w:numFmt "
        "w:val=\"decimal\"/><w:lvlText w:val=\"%1.\"/></w:lvl><w:lvl w:ilvl=\"1\"><w:numFmt "
        "w:val=\"lowerLetter\"/><w:lvlText w:val=\"%1.%2\"/></w:lvl></w:abstractNum>"
        "<w:num w:numId=\"9\"><w:abstractNumId w:val=\"6\"/></w:num>";
    const std::string styles =
        "<w:style w:type=\"numbering\" w:styleId=\"Outline\"><w:pPr><w:numPr><w:numId "
        "w:val=\"6\"/></w:numPr></w:pPr></w:style>";
    const auto item = [](int list, int ilvl, const std::string& text) {
        return "<w:p><w:pPr><w:pStyle w:val=\"Compact\"/><w:numPr><w:ilvl w:val=\"" +
               std::to_string(ilvl) + "\"/><w:numId w:val=\"" + std::to_string(list) +
               "\"/></w:numPr></w:pPr>" + run(text) + "</w:p>";
    };
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"pandoc's nested list restarts its own level, not the one around it",
         item(1, 0, "Minutes") + item(1, 0, "Old business") + item(2, 1, "Roof") +
             item(2, 1, "Budget") + item(1, 0, "New business"),
         "1.\tMinutes\n\n2.\tOld business\n\na)\tRoof\n\nb)\tBudget\n\n3.\tNew business"},
        {"a start override on a deeper level holds after the first item above it",
         item(3, 0, "Part") + item(3, 1, "Fourth") + item(3, 1, "Fifth"),
         "1.\tPart\n\nd)\tFourth\n\ne)\tFifth"},
        {"legal numbering shows its levels in digits",
         item(4, 0, "Part") + item(4, 1, "Sub") + item(4, 2, "Deeper"),
         "I.\tPart\n\n1.1\tSub\n\nI.1.a\tDeeper"},
        {"a level that never restarts, and one restarted only by the first",
         item(5, 0, "a") + item(5, 1, "x") + item(5, 2, "p") + item(5, 1, "y") + item(5, 2, "q") +
             item(5, 0, "b") + item(5, 1, "z") + item(5, 2, "r"),
         "1.\ta\n\na)\tx\n\n(i)\tp\n\nb)\ty\n\n(ii)\tq\n\n2.\tb\n\nc)\tz\n\n(i)\tr"},
        {"two lists of one list style share its count",
         item(7, 0, "one") + item(7, 0, "two") + paragraph(run("Between")) + item(8, 0, "three"),
         "1.\tone\n\n2.\ttwo\n\nBetween\n\n3.\tthree"},
        {"a level without a start begins at 0",
         item(9, 0, "-O0") + item(9, 1, "none") + item(9, 1, "some") + item(9, 0, "-O1"),
         "0.\t-O0\n\n0.0\tnone\n\n0.a\tsome\n\n1.\t-O1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(docx(c.body, {}, {}, numbering, styles)),
                  c.text);
    }
}

// A document of many one-item lists (pandoc writes a numbering instance for each list) keeps
// its text: its definitions are bounded apart from it, each charged what it keeps (not the
// kilobyte of levels it might override), so that neither its lists nor its text, each well
// within the bound, take the other's share.
TEST(WordProcessorReaderTest, ManySmallListsKeepTheirText) {
    constexpr int kLists = 900;
    const std::string words(400, 'w');
    std::string numbering =
        "<w:abstractNum w:abstractNumId=\"0\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"1\"/>"
        "<w:numFmt w:val=\"decimal\"/><w:lvlText w:val=\"%1.\"/></w:lvl></w:abstractNum>";
    std::string body;
    std::string expected;
    for (int list = 1; list <= kLists; ++list) {
        const auto id = std::to_string(list);
        numbering += "<w:num w:numId=\"" + id +
                     "\"><w:abstractNumId w:val=\"0\"/><w:lvlOverride w:ilvl=\"0\">"
                     "<w:startOverride w:val=\"1\"/></w:lvlOverride></w:num>";
        body += "<w:p><w:pPr><w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"" + id +
                "\"/></w:numPr></w:pPr>" + run("Item " + id + " " + words) + "</w:p>";
        expected += (expected.empty() ? "" : "\n\n") + std::string("1.\tItem ") + id + " " + words;
    }
    EXPECT_EQ(WordProcessorReader::documentText(docx(body, {}, {}, numbering), 512 * 1024),
              expected);
}

// A list definition of a few bytes of markup is kept in many: the definitions count against the
// same bound as the text, and past it the lists read without numbers, and say why.
TEST(WordProcessorReaderTest, ListDefinitionsAreBoundedLikeTheText) {
    std::string numbering =
        "<w:abstractNum w:abstractNumId=\"0\"><w:lvl w:ilvl=\"0\"><w:start w:val=\"1\"/>"
        "<w:lvlText w:val=\"%1.\"/></w:lvl></w:abstractNum>";
    for (int i = 1; i <= 1000; ++i) {
        numbering += "<w:abstractNum w:abstractNumId=\"" + std::to_string(i) + "\"/>";
    }
    numbering += "<w:num w:numId=\"1\"><w:abstractNumId w:val=\"0\"/></w:num>";
    const auto body =
        "<w:p><w:pPr><w:numPr><w:ilvl w:val=\"0\"/><w:numId w:val=\"1\"/>"
        "</w:numPr></w:pPr>" +
        run("First") + "</w:p>";
    test::LogCapture logs;
    EXPECT_EQ(WordProcessorReader::documentText(docx(body, {}, {}, numbering), 64 * 1024), "First");
    bool noted = false;
    for (const auto& record : logs->records()) {
        noted =
            noted || record.message.find("word/numbering.xml was not read") != std::string::npos;
    }
    EXPECT_TRUE(noted);
    EXPECT_EQ(WordProcessorReader::documentText(docx(body, {}, {}, numbering)), "1.\tFirst");
}

// A notes part that cannot be read costs its notes, not the body, and says so.
// The sections kept for numbering notes are bounded like the text: past the bound the notes
// count on, and the text is read whole.
TEST(WordProcessorReaderTest, SectionsAreBoundedLikeTheText) {
    std::string body;
    for (int i = 0; i < 1650; ++i) {
        body += "<w:p><w:pPr><w:sectPr/></w:pPr></w:p>";
    }
    body += paragraph(run("A") + noteReference("footnote", 1));
    const auto document =
        docx(body, note("footnote", 1, "f1"), {}, {}, {}, {},
             "<w:sectPr><w:footnotePr><w:numStart w:val=\"5\"/></w:footnotePr></w:sectPr>");
    test::LogCapture logs;
    EXPECT_EQ(WordProcessorReader::documentText(document, 64 * 1024), "A\xC2\xB9\n\n\xC2\xB9 f1");
    bool noted = false;
    for (const auto& record : logs->records()) {
        noted = noted || record.message.find("the sections of word/document.xml exceed") !=
                             std::string::npos;
    }
    EXPECT_TRUE(noted);
    EXPECT_EQ(WordProcessorReader::documentText(document), "A\xE2\x81\xB5\n\n\xE2\x81\xB5 f1");
}

TEST(WordProcessorReaderTest, UnreadableNotesLeaveTheBody) {
    test::LogCapture logs;
    EXPECT_EQ(WordProcessorReader::documentText(
                  docx(paragraph(run("Body")),
                       "<w:footnote w:id=\"1\">" + paragraph(run("cut off")) + "<w:p>")),
              "Body");
    bool noted = false;
    for (const auto& record : logs->records()) {
        noted =
            noted || record.message.find("word/footnotes.xml was not read") != std::string::npos;
    }
    EXPECT_TRUE(noted);
}

// An .odt as LibreOffice writes it: automatic styles in content.xml before the body.
std::string odt(const std::string& styles, const std::string& body) {
    return test::zipArchive(
        {{"mimetype", "application/vnd.oasis.opendocument.text"},
         {"content.xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
          "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
          "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
          "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
          "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
          "xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\" "
          "xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\" "
          "xmlns:xlink=\"http://www.w3.org/1999/xlink\" office:version=\"1.3\">"
          "<office:automatic-styles>" +
              styles +
              "</office:automatic-styles><office:body>"
              "<office:text><text:sequence-decls/>" +
              body + "</office:text></office:body></office:document-content>"}});
}

TEST(WordProcessorReaderTest, OdtGivesWhatTheAuthorSees) {
    const std::string hiddenStyles =
        "<style:style style:name=\"P1\" style:family=\"paragraph\" "
        "style:parent-style-name=\"Standard\"><style:text-properties text:display=\"none\"/>"
        "</style:style><style:style style:name=\"T1\" style:family=\"text\">"
        "<style:text-properties text:display=\"none\"/></style:style>"
        "<style:style style:name=\"T2\" style:family=\"text\"><style:text-properties "
        "fo:font-weight=\"bold\"/></style:style>";
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"hidden characters are left out",
         "<text:p text:style-name=\"Standard\">Visible <text:span text:style-name=\"T1\">"
         "Hiddenword secret </text:span><text:span text:style-name=\"T2\">tail</text:span>"
         "</text:p>",
         "Visible tail"},
        {"a paragraph of a hidden style is left out",
         "<text:p text:style-name=\"P1\">hidden</text:p><text:p>shown</text:p>", "shown"},
        {"a paragraph hidden by its field is left out",
         "<text:p>before</text:p><text:p>gone <text:hidden-paragraph text:condition=\"ooow:1\" "
         "text:is-hidden=\"true\"/>still gone</text:p><text:p><text:hidden-paragraph "
         "text:condition=\"ooow:0\" text:is-hidden=\"false\"/>kept</text:p>",
         "before\n\nkept"},
        {"a hidden paragraph takes its text box with it",
         "<text:p>gone<draw:frame><draw:text-box><text:p>boxed</text:p></draw:text-box>"
         "</draw:frame><text:hidden-paragraph text:is-hidden=\"true\"/></text:p><text:p>kept"
         "</text:p>",
         "kept"},
        {"a hidden section is left out",
         "<text:section text:style-name=\"Sect1\" text:name=\"Section1\" text:display=\"none\">"
         "<text:p>secret</text:p></text:section><text:section text:name=\"Section2\">"
         "<text:p>open</text:p></text:section>",
         "open"},
        {"hidden text fields show their text only when shown",
         "<text:p>a<text:hidden-text text:condition=\"ooow:1\" text:string-value=\"X\" "
         "text:is-hidden=\"true\"/>b<text:hidden-text text:condition=\"ooow:0\" "
         "text:string-value=\"Y\" text:is-hidden=\"false\"/>c</text:p>",
         "abYc"},
        {"titles and descriptions of images are no body text",
         "<text:p>Photo<draw:frame draw:name=\"Image1\"><draw:image xlink:href=\"a.png\"/>"
         "<svg:title>Alt title</svg:title><svg:desc>Long description</svg:desc></draw:frame>"
         " caption</text:p>",
         "Photo caption"},
        {"a text box inside a frame follows its paragraph",
         "<text:p>Anchor<draw:frame><draw:text-box><text:p>Boxed</text:p></draw:text-box>"
         "</draw:frame> text</text:p>",
         "Anchor text\n\nBoxed"},
        // A note's mark, raised, where the note is cited and before its text, as LibreOffice
        // shows it.
        {"notes follow the body once, their marks where they are cited and before their text",
         "<text:p>Body<text:note text:id=\"ftn1\" text:note-class=\"footnote\">"
         "<text:note-citation>1</text:note-citation><text:note-body><text:p "
         "text:style-name=\"Footnote\">A footnote</text:p></text:note-body></text:note> text"
         "<text:note text:id=\"ftn2\" text:note-class=\"endnote\"><text:note-citation>i"
         "</text:note-citation><text:note-body><text:p>An endnote</text:p></text:note-body>"
         "</text:note></text:p><text:p>More</text:p>",
         "Body\u00B9 text\u2071\n\nMore\n\n\u00B9A footnote\n\n\u2071An endnote"},
        {"a note's own mark, as written where Unicode has no raised form",
         "<text:p>Rent<text:note text:note-class=\"footnote\"><text:note-citation "
         "text:label=\"*\">*</text:note-citation><text:note-body><text:p>Due monthly.</text:p>"
         "</text:note-body></text:note> due</text:p>",
         "Rent* due\n\n*Due monthly."},
        {"a mark of many digits, and a note of two paragraphs marked once",
         "<text:p>A<text:note><text:note-citation>12</text:note-citation><text:note-body>"
         "<text:p>One</text:p><text:p>Two</text:p></text:note-body></text:note></text:p>",
         "A\u00B9\u00B2\n\n\u00B9\u00B2One\n\nTwo"},
        {"a note without a paragraph leaves its mark to none after it",
         "<text:p>A<text:note><text:note-citation>1</text:note-citation><text:note-body/>"
         "</text:note> b<text:note><text:note-citation>2</text:note-citation><text:note-body>"
         "<text:p>Second</text:p></text:note-body></text:note></text:p><text:p>C</text:p>",
         "A\u00B9 b\u00B2\n\nC\n\n\u00B2Second"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(odt(hiddenStyles, c.body)), c.text);
    }
}

// List items read with the number or bullet LibreOffice shows before them, from the list style of
// their list (in the automatic styles, or in styles.xml), counted as LibreOffice counts.
TEST(WordProcessorReaderTest, OdtListItemsKeepTheirNumbers) {
    const std::string styles =
        "<text:list-style style:name=\"L1\"><text:list-level-style-number text:level=\"1\" "
        "style:num-suffix=\".\" style:num-format=\"1\"/><text:list-level-style-number "
        "text:level=\"2\" style:num-suffix=\")\" style:num-format=\"a\"/>"
        "<text:list-level-style-number text:level=\"3\" style:num-suffix=\".\" "
        "style:num-format=\"i\" text:display-levels=\"3\"/></text:list-style>"
        "<text:list-style style:name=\"L2\"><text:list-level-style-bullet text:level=\"1\" "
        "text:bullet-char=\"\xE2\x80\xA2\"/><text:list-level-style-bullet text:level=\"2\" "
        "text:bullet-char=\"\xE2\x97\xA6\"/></text:list-style>"
        "<text:list-style style:name=\"L3\"><text:list-level-style-number text:level=\"1\" "
        "style:num-prefix=\"(\" style:num-suffix=\")\" style:num-format=\"I\" "
        "text:start-value=\"3\"/></text:list-style>"
        "<text:list-style style:name=\"L4\"><text:list-level-style-number text:level=\"1\" "
        "style:num-suffix=\")\" style:num-format=\"a\"/></text:list-style>";
    const auto item = [](const std::string& text) {
        return "<text:list-item><text:p>" + text + "</text:p></text:list-item>";
    };
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"numbers, letters and roman numerals of nested levels",
         "<text:list xml:id=\"list1\" text:style-name=\"L1\">" + item("one") +
             "<text:list-item><text:p>two</text:p><text:list>" + item("sub") +
             "<text:list-item><text:p>sub two</text:p><text:list>" + item("deep") +
             "</text:list></text:list-item></text:list></text:list-item>" + item("three") +
             "</text:list>",
         "1.\tone\n\n2.\ttwo\n\na)\tsub\n\nb)\tsub two\n\n2.b.i.\tdeep\n\n3.\tthree"},
        {"bullets of two levels",
         "<text:list text:style-name=\"L2\">" + item("a") + "<text:list-item><text:list>" +
             item("b") + "</text:list></text:list-item></text:list>",
         "\xE2\x80\xA2\ta\n\n\xE2\x97\xA6\tb"},
        {"a new list begins again, a continued one counts on",
         "<text:list text:style-name=\"L1\">" + item("a") + item("b") + "</text:list>" +
             "<text:p>Between</text:p><text:list text:style-name=\"L1\">" + item("c") +
             "</text:list><text:list text:style-name=\"L1\" text:continue-numbering=\"true\">" +
             item("d") + "</text:list>",
         "1.\ta\n\n2.\tb\n\nBetween\n\n1.\tc\n\n2.\td"},
        {"a list continues a named one",
         "<text:list xml:id=\"first\" text:style-name=\"L1\">" + item("a") + "</text:list>" +
             "<text:list text:style-name=\"L1\">" + item("b") + "</text:list>" +
             "<text:list text:continue-list=\"first\" text:style-name=\"L1\">" + item("c") +
             "</text:list>",
         "1.\ta\n\n1.\tb\n\n2.\tc"},
        {"a start value, a prefix, and a header without a number",
         "<text:list text:style-name=\"L3\"><text:list-header><text:p>Heading</text:p>"
         "</text:list-header>" +
             item("a") +
             "<text:list-item text:start-value=\"7\"><text:p>b</text:p></text:list-item>" +
             "</text:list>",
         "Heading\n\n(III)\ta\n\n(VII)\tb"},
        {"an item's second paragraph has no number",
         "<text:list text:style-name=\"L1\"><text:list-item><text:p>a</text:p><text:p>more"
         "</text:p></text:list-item></text:list>",
         "1.\ta\n\nmore"},
        // Pandoc gives an ordered list inside a bullet item a style defining its first level
        // alone; LibreOffice numbers a level its style leaves undefined "1.", bulleted or not.
        {"a level its style does not define numbers in decimal",
         "<text:list text:style-name=\"L2\"><text:list-item><text:p>bullet</text:p>"
         "<text:list text:style-name=\"L4\">" +
             item("first") + item("second") +
             "</text:list></text:list-item><text:list-item><text:list><text:list-item><text:list>" +
             item("third level") +
             "</text:list></text:list-item></text:list></text:list-item></text:list>"
             "<text:list text:style-name=\"L3\"><text:list-item><text:p>a</text:p><text:list>" +
             item("x") + "</text:list></text:list-item></text:list>",
         "\xE2\x80\xA2\tbullet\n\n1.\tfirst\n\n2.\tsecond\n\n1.\tthird level\n\n(III)\ta\n\n1.\tx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(odt(styles, c.body)), c.text);
    }
    // A list style of styles.xml, as LibreOffice keeps the named ones.
    const auto document = test::zipArchive(
        {{"mimetype", "application/vnd.oasis.opendocument.text"},
         {"styles.xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-styles "
          "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
          "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
          "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:styles>" +
              styles + "</office:styles></office:document-styles>"},
         {"content.xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content "
          "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
          "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:body>"
          "<office:text><text:list text:style-name=\"L1\">" +
              item("a") + item("b") +
              "</text:list></office:text></office:body></office:document-content>"}});
    EXPECT_EQ(WordProcessorReader::documentText(document), "1.\ta\n\n2.\tb");
}

// The number formats LibreOffice names itself (spelled out, zero-padded, other scripts) and its
// letters with and without letter sync, and bullets of symbol fonts (as a Word document saved
// by LibreOffice keeps them), each as LibreOffice shows them.
TEST(WordProcessorReaderTest, OdtListsNumberAsLibreOfficeShowsThem) {
    struct Case {
        std::string name;
        std::string level;
        std::vector<std::string> markers;
    };
    const auto numbered = [](const std::string& format, int start, const std::string& more = {}) {
        return "<text:list-level-style-number text:level=\"1\" style:num-suffix=\".\" "
               "style:num-format=\"" +
               format + "\" text:start-value=\"" + std::to_string(start) + "\"" + more + "/>";
    };
    const auto bulleted = [](const std::string& character, const std::string& properties) {
        return "<text:list-level-style-bullet text:level=\"1\" text:bullet-char=\"" + character +
               "\"><style:list-level-properties/><style:text-properties " + properties +
               "/></text:list-level-style-bullet>";
    };
    const std::string sync = " style:num-letter-sync=\"true\"";
    const std::vector<Case> cases = {
        {"ordinal numbers", numbered("1st", 1), {"1st.", "2nd.", "3rd."}},
        {"numbers spelled out", numbered("One", 20), {"Twenty.", "Twenty-one.", "Twenty-two."}},
        {"ordinals spelled out", numbered("First", 1), {"First.", "Second.", "Third."}},
        {"numbers padded with a zero", numbered("01, 02, 03, ...", 9), {"09.", "10.", "11."}},
        {"letters without letter sync count on", numbered("a", 26), {"z.", "aa.", "ab."}},
        {"letters with letter sync repeat", numbered("A", 26, sync), {"Z.", "AA.", "BB."}},
        {"Russian letters",
         numbered("\u0430, \u0431, .., \u0430\u0430, \u0430\u0431, ... (ru)", 28),
         {"\u044E.", "\u044F.", "\u0430\u0430."}},
        {"Russian capitals with letter sync",
         numbered("\u0410, \u0411, .., \u0410\u0430, \u0411\u0431, ... (ru)", 30),
         {"\u0410\u0430.", "\u0411\u0431.", "\u0412\u0432."}},
        {"Hebrew letters",
         numbered("\u05D0, \u05D1, \u05D2, ...", 1),
         {"\u05D0.", "\u05D1.", "\u05D2."}},
        {"Hebrew numerals",
         numbered("\u05D0, \u05D9, \u05E7, ...", 14),
         {"\u05D9\u05D3.", "\u05D8\u05D5.", "\u05D8\u05D6."}},
        {"Arabic-Indic digits",
         numbered("\u0661, \u0662, \u0663, ...", 9),
         {"\u0669.", "\u0661\u0660.", "\u0661\u0661."}},
        {"Korean syllables",
         numbered("\uAC00, \uB098, \uB2E4, ...", 1),
         {"\uAC00.", "\uB098.", "\uB2E4."}},
        // Korean counting as LibreOffice names it, in Hangul and, with the language, in
        // ideographs ("百一", not Chinese's "一百零一").
        {"Korean counting in Hangul",
         numbered("\uC77C, \uC774, \uC0BC, ...", 10),
         {"\uC2ED.", "\uC2ED\uC77C.", "\uC2ED\uC774."}},
        {"Korean counting in ideographs",
         numbered("\u4E00, \u4E8C, \u4E09, ...", 100, " fo:language=\"ko\" fo:country=\"KR\""),
         {"\u767E.", "\u767E\u4E00.", "\u767E\u4E8C."}},
        {"Chinese counting under the same name",
         numbered("\u4E00, \u4E8C, \u4E09, ...", 101),
         {"\u4E00\u767E\u96F6\u4E00.", "\u4E00\u767E\u96F6\u4E8C.", "\u4E00\u767E\u96F6\u4E09."}},
        {"numbers spelled out in the document's language",
         "<style:default-style style:family=\"paragraph\"><style:text-properties "
         "fo:language=\"de\" fo:country=\"DE\"/></style:default-style>" +
             numbered("One", 20),
         {"Zwanzig.", "Einundzwanzig.", "Zweiundzwanzig."}},
        {"numbers spelled out in the level's language",
         numbered("One", 20, " fo:language=\"de\" fo:country=\"DE\""),
         {"Zwanzig.", "Einundzwanzig.", "Zweiundzwanzig."}},
        // Korean digits as LibreOffice writes them, the language after the name: a digit at a
        // time, in Hangul and in ideographs.
        {"Korean digits in Hangul",
         "<text:list-level-style-number text:level=\"1\" text:style-name=\"Numbering_20_Symbols\" "
         "style:num-suffix=\".\" style:num-format=\"\uC77C, \uC774, \uC0BC, ... (ko-x-digital)\" "
         "text:start-value=\"9\"><style:list-level-properties "
         "text:list-level-position-and-space-mode=\"label-alignment\"><style:list-level-label-"
         "alignment text:label-followed-by=\"listtab\" text:list-tab-stop-position=\"0.5in\" "
         "text:text-indent=\"-0.25in\" text:margin-left=\"0.5in\"/></style:list-level-properties>"
         "</text:list-level-style-number>",
         {"\uAD6C.", "\uC77C\uC601.", "\uC77C\uC77C."}},
        {"Korean digits in ideographs",
         numbered("\u4E00, \u4E8C, \u4E09, ... (ko)", 9),
         {"\u4E5D.", "\u4E00\u96F6.", "\u4E00\u4E00."}},
        {"Japanese iroha",
         numbered("\u30A4, \u30ED, \u30CF, ...", 1),
         {"\u30A4.", "\u30ED.", "\u30CF."}},
        {"Chinese capital numbers",
         numbered("\u58F9, \u8D30, \u53C1, ...", 10),
         {"\u58F9\u62FE.", "\u58F9\u62FE\u58F9.", "\u58F9\u62FE\u8D30."}},
        {"Arabic letters",
         numbered("\u0623, \u0628, \u062A, ...", 1),
         {"\u0623.", "\u0628.", "\u062A."}},
        {"a list padded with zeros that starts at 0",
         numbered("01, 02, 03, ...", 0),
         {"0.", "01.", "02."}},
        {"ordinals that start at 0", numbered("1st", 0), {"0.", "1st.", "2nd."}},
        {"a Symbol bullet",
         bulleted("\uF0B7", "style:font-name=\"Symbol\""),
         {"\u2022", "\u2022", "\u2022"}},
        {"a bullet of a font declared under another name",
         "<style:font-face style:name=\"Symbol1\" svg:font-family=\"Symbol\"/>" +
             bulleted("\uF0B7", "style:font-name=\"Symbol1\""),
         {"\u2022", "\u2022", "\u2022"}},
        {"a Wingdings bullet",
         bulleted("\uF0D8", "fo:font-family=\"'Wingdings'\""),
         {"\u27A2", "\u27A2", "\u27A2"}},
        {"a private-use bullet of another font stays",
         bulleted("\uF0B7", "fo:font-family=\"Arial\""),
         {"\uF0B7", "\uF0B7", "\uF0B7"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto styles = "<text:list-style style:name=\"L1\">" + c.level + "</text:list-style>";
        std::string body = "<text:list text:style-name=\"L1\">";
        std::string expected;
        for (std::size_t i = 0; i < c.markers.size(); ++i) {
            const auto text = "item " + std::to_string(i + 1);
            body += "<text:list-item><text:p>" + text + "</text:p></text:list-item>";
            expected += (i == 0 ? "" : "\n\n") + c.markers[i] + "\t" + text;
        }
        EXPECT_EQ(WordProcessorReader::documentText(odt(styles, body + "</text:list>")), expected);
    }
}

// Numbers in words and ordinals are written in the language of their paragraph, as LibreOffice
// takes it: the list level's own, else the paragraph's style's (through the styles it is based
// on), else the default style's.
TEST(WordProcessorReaderTest, OdtListNumbersAreInTheirParagraphsLanguage) {
    const auto properties = [](const std::string& language, const std::string& country) {
        return "<style:text-properties fo:font-size=\"12pt\" fo:language=\"" + language +
               "\" fo:country=\"" + country +
               "\" style:language-asian=\"zh\" style:country-asian=\"CN\"/>";
    };
    const auto defaults = [&](const std::string& language, const std::string& country) {
        return "<style:default-style style:family=\"paragraph\"><style:paragraph-properties/>" +
               properties(language, country) + "</style:default-style>";
    };
    const auto paragraphStyle = [&](const std::string& name, const std::string& parent,
                                    const std::string& text) {
        return "<style:style style:name=\"" + name + "\" style:family=\"paragraph\"" +
               (parent.empty() ? "" : " style:parent-style-name=\"" + parent + "\"") +
               " style:list-style-name=\"L1\"><style:paragraph-properties/>" + text +
               "</style:style>";
    };
    const auto level = [](const std::string& format, const std::string& more = {}) {
        return "<text:list-style style:name=\"L1\"><text:list-level-style-number "
               "text:level=\"1\" style:num-suffix=\".\" style:num-format=\"" +
               format + "\"" + more + "/></text:list-style>";
    };
    struct Case {
        std::string name;
        std::string styles;
        std::string paragraphStyle;
        std::string marker;
    };
    const std::vector<Case> cases = {
        {"the default style's", defaults("de", "DE") + level("One"), "Standard", "Eins."},
        {"the paragraph's style's",
         defaults("de", "DE") + paragraphStyle("P1", {}, properties("es", "ES")) + level("One"),
         "P1", "Uno."},
        {"the style the paragraph's is based on",
         defaults("de", "DE") + paragraphStyle("List_20_Paragraph", {}, properties("sv", "SE")) +
             paragraphStyle("P1", "List_20_Paragraph", "") + level("One"),
         "P1", "Ett."},
        {"the paragraph's style over the one it is based on",
         defaults("de", "DE") + paragraphStyle("Base", {}, properties("sv", "SE")) +
             paragraphStyle("P1", "Base", properties("it", "IT")) + level("One"),
         "P1", "Uno."},
        {"the level's own over the paragraph's",
         defaults("de", "DE") + paragraphStyle("P1", {}, properties("es", "ES")) +
             level("One", " fo:language=\"fr\" fo:country=\"FR\""),
         "P1", "Un."},
        {"no language is English",
         defaults("de", "DE") + paragraphStyle("P1", {}, properties("zxx", "none")) + level("One"),
         "P1", "One."},
        {"ordinals", defaults("fr", "FR") + level("1st"), "Standard", "1er."},
        {"ordinal words", defaults("es", "ES") + level("First"), "Standard", "Primero."},
        {"a style based on itself",
         defaults("de", "DE") + paragraphStyle("P1", "P1", "") + level("One"), "P1", "Eins."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(
                      odt(c.styles,
                          "<text:list text:style-name=\"L1\"><text:list-item><text:p "
                          "text:style-name=\"" +
                              c.paragraphStyle + "\">x</text:p></text:list-item></text:list>")),
                  c.marker + "\tx");
    }
}

// A document may name any number of languages; the formatters that spell out its numbers are
// kept by the locale whose rules they hold, and no more than a few at once, however many.
TEST(WordProcessorReaderTest, ManyLanguagesKeepFewNumberFormatters) {
    const std::vector<std::string> bases = {"de", "fr", "es"};
    // Every other language ICU spells numbers in, one list each, after.
    const std::vector<std::string> others = {"it", "sv", "nl", "pt", "da", "nb", "fi", "pl",
                                             "cs", "ru", "uk", "hu", "tr", "el", "he", "ja"};
    std::string styles;
    std::string body;
    const auto list = [&](const std::string& name, const std::string& language) {
        styles += "<text:list-style style:name=\"" + name +
                  "\"><text:list-level-style-number text:level=\"1\" style:num-suffix=\".\" "
                  "style:num-format=\"One\" fo:language=\"" +
                  language + "\"/></text:list-style>";
        body += "<text:list text:style-name=\"" + name +
                "\"><text:list-item><text:p>x</text:p></text:list-item></text:list>";
    };
    constexpr int kTagsEach = 100;
    for (int i = 0; i < 3 * kTagsEach; ++i) {
        const auto& base = bases[static_cast<std::size_t>(i / kTagsEach)];
        list("L" + std::to_string(i), base + (i % 2 == 0 ? "-x-v" : "-CH-x-v") + std::to_string(i));
    }
    const auto madeBefore = ListNumberFormat::formattersMade();
    const auto text = WordProcessorReader::documentText(odt(styles, body));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->substr(0, 6), "Eins.\t");
    // Every list is read and numbered: the document is well within the reader's bounds.
    std::size_t items = 0;
    for (auto at = text->find("\tx"); at != std::string::npos; at = text->find("\tx", at + 1)) {
        ++items;
    }
    EXPECT_EQ(items, 3U * kTagsEach);
    // German, Swiss German, French, Swiss French (its own rules), Spanish.
    EXPECT_LE(ListNumberFormat::formattersMade() - madeBefore, 5U);
    EXPECT_LE(ListNumberFormat::keptFormatters(), ListNumberFormat::kMostFormatters);
    styles.clear();
    body.clear();
    for (std::size_t i = 0; i < others.size(); ++i) {
        list("M" + std::to_string(i), others[i]);
    }
    ASSERT_TRUE(WordProcessorReader::documentText(odt(styles, body)).has_value());
    EXPECT_LE(ListNumberFormat::keptFormatters(), ListNumberFormat::kMostFormatters);
}

// Headings numbered by the outline style ("Chapter Numbering"), as LibreOffice keeps it in
// styles.xml; a writer's own copy of the number (text:number) is not read twice.
TEST(WordProcessorReaderTest, OdtHeadingsKeepTheirChapterNumbers) {
    const auto outlineLevel = [](int level, const std::string& format, int shown) {
        return "<text:outline-level-style text:level=\"" + std::to_string(level) +
               "\" style:num-format=\"" + format + "\" text:display-levels=\"" +
               std::to_string(shown) +
               "\"><style:list-level-properties text:list-level-position-and-space-mode=\"label-"
               "alignment\"><style:list-level-label-alignment text:label-followed-by=\"listtab\"/>"
               "</style:list-level-properties></text:outline-level-style>";
    };
    const auto document = [](const std::string& outline, const std::string& body) {
        return test::zipArchive(
            {{"mimetype", "application/vnd.oasis.opendocument.text"},
             {"styles.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-styles "
              "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
              "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
              "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:styles>"
              "<text:outline-style style:name=\"Outline\">" +
                  outline + "</text:outline-style></office:styles></office:document-styles>"},
             {"content.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content "
              "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
              "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:body>"
              "<office:text>" +
                  body + "</office:text></office:body></office:document-content>"}});
    };
    const auto heading = [](int level, const std::string& text, const std::string& more = {}) {
        return "<text:h text:style-name=\"Heading_20_" + std::to_string(level) +
               "\" text:outline-level=\"" + std::to_string(level) + "\"" + more + ">" + text +
               "</text:h>";
    };
    const std::string chapters =
        outlineLevel(1, "1", 1) + outlineLevel(2, "1", 2) + outlineLevel(3, "a", 1);
    const std::string body = heading(1, "Introduction") + heading(2, "Scope") +
                             "<text:p>Text</text:p>" + heading(2, "Terms") + heading(3, "Words") +
                             heading(1, "Method") + heading(2, "Data");
    struct Case {
        std::string name;
        std::string document;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"chapter numbering", document(chapters, body),
         "1\tIntroduction\n\n1.1\tScope\n\nText\n\n1.2\tTerms\n\na\tWords\n\n2\tMethod\n\n2."
         "1\tData"},
        {"the default outline style numbers nothing",
         document(outlineLevel(1, "", 1) + outlineLevel(2, "", 1), body),
         "Introduction\n\nScope\n\nText\n\nTerms\n\nWords\n\nMethod\n\nData"},
        {"a restart, a heading without a number, and a number kept by the writer",
         document(chapters, heading(1, "One") +
                                heading(1, "Five",
                                        " text:restart-numbering=\"true\" text:start-value=\"5\"") +
                                heading(1, "Unnumbered", " text:is-list-header=\"true\"") +
                                heading(1, "<text:number>6</text:number>Six")),
         "1\tOne\n\n5\tFive\n\nUnnumbered\n\n6\tSix"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WordProcessorReader::documentText(c.document), c.text);
    }
}

// A paragraph of many megabytes (a small .docx of repeated runs) is written once into the text,
// never copied while the original is held.
TEST(WordProcessorReaderTest, ALongParagraphIsNotHeldTwice) {
    // Just under a power of two, where one copy beside the original shows most clearly.
    constexpr std::size_t kRun = 1024;
    constexpr std::size_t kRuns = 127 * 64;
    std::string runs;
    for (std::size_t i = 0; i < kRuns; ++i) {
        runs += run(std::string(kRun, 'a' + static_cast<char>(i % 26)));
    }
    const auto document = docx(paragraph(runs));
    std::optional<std::string> text;
    const auto peak =
        test::peakHeapGrowth([&] { text = WordProcessorReader::documentText(document); });
    ASSERT_TRUE(text.has_value());
    ASSERT_EQ(text->size(), kRun * kRuns);
    if (peak) {
        EXPECT_LT(*peak, text->size() * 7 / 4) << "peak heap growth " << *peak;
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
                                "<w:body><w:p><w:r>" + c.body +
                                "</w:r></w:p></w:body></w:document>";
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
        {{"word/document.xml",
          "<!DOCTYPE w:document>" + root +
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
         "<document" + attributes + " xmlns=\"" + word +
             "\"><body><p><r><t>kept</t></r></p>"
             "</body></document>",
         "kept"},
        {"more namespaces than any document declares",
         "<w:document xmlns:w=\"" + word + "\"" + namespaces + ">" + body, std::nullopt},
        {"UTF-16", std::string("\xFF\xFE<\0w\0:\0d\0o\0c\0>\0", 16), std::nullopt},
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
