#include "sources/rich_text_reader.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

#include "platform/error.h"
#include "platform/text.h"
#include "sources/decoding/text_decoding.h"
#include "sources/html_text.h"
#include "sources/markup_attribute_bound.h"
#include "support/log_capture.h"
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
         "5 \xE2\x80\xA2"},
        {"group-local unicode skip count", R"({\rtf1{\uc2 \u8364ab}c})",
         "\xE2\x82\xAC"
         "c"},
        {"surrogate pair is one character", R"({\rtf1\uc1 a\u-10179?\u-8694?b})",
         "a\xF0\x9F\x98\x8A"
         "b"},
        {"lone surrogate halves are replaced", R"({\rtf1\uc1 \u-10179?x\u-8694?})",
         "\xEF\xBF\xBDx\xEF\xBF\xBD"},
        {"unterminated document keeps what was read", R"({\rtf1 partial \'4)", "partial "},
        // Binary data is skipped by its length, braces in it included.
        {"binary picture data", R"({\rtf1 before{\*\shppict{\pict\pngblip\bin6 {{{{{{}} after})",
         "before after"},
        {"binary data in the body", "{\\rtf1 a\\bin3 }}{b}", "ab"},
        {"binary data past the end", R"({\rtf1 a\bin999 xyz})", "a"},
        // A group's end ends the fallback of a \u inside it.
        {"fallback cut by the group's end", R"({\rtf1{\u8364}Price})",
         "\xE2\x82\xAC"
         "Price"},
        {"a huge skip count ends with its group",
         "{\\rtf1{\\uc100000\\u8364}" + std::string(300, 'x') + "}",
         "\xE2\x82\xAC" + std::string(300, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto text = RichTextReader::plainText(c.rtf);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, c.text);
    }
}

// RTF as LibreOffice and Word write it: what the page shows, with its characters, once.
TEST(RichTextReaderTest, RtfGivesWhatTheAuthorSees) {
    const std::string head =
        "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang2057{\\fonttbl{\\f0\\froman\\fprq2\\fcharset0 "
        "Times New Roman;}{\\f1\\fswiss\\fprq2\\fcharset204 Arial CYR;}{\\f2\\fnil\\fcharset128 "
        "MS Mincho;}{\\f3\\fbidi \\froman\\fcharset2\\fprq2 Symbol;}{\\f4\\fnil\\fcharset2 "
        "Wingdings;}{\\f5\\fnil\\fcharset2 Webdings;}{\\f6\\fnil\\fcharset0 "
        "Symbol;}}{\\colortbl;\\red0\\green0\\blue0;}{\\*\\revtbl {Unknown;}{Ann Author;}}"
        "{\\stylesheet{\\s0\\snext0 Normal;}}\n\\pard\\plain \\s0\\f0\\fs24 ";
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"hidden text is left out",
         "Visible {\\v\\rtlch\\ltrch\\loch Hiddenword secret }tail\\v  gone\\v0  back\\par}",
         "Visible tail back\n"},
        {"tracked deletions are left out",
         "Keep {\\deleted\\revauthdel1\\revdttmdel1384160612 removed }text{\\revised\\revauth1 "
         " added}\\par}",
         "Keep text added\n"},
        {"typographic characters as control words",
         "It\\rquote s \\ldblquote test\\rdblquote \\emdash done\\~now\\_x \\bullet  a\\endash b "
         "\\lquote q\\rquote  co\\-op\\par}",
         "It\xE2\x80\x99s \xE2\x80\x9Ctest\xE2\x80\x9D\xE2\x80\x94"
         "done\xC2\xA0now\xE2\x80\x91x "
         "\xE2\x80\xA2 a\xE2\x80\x93"
         "b \xE2\x80\x98q\xE2\x80\x99 coop\n"},
        {"a backslash ending a line ends a paragraph, as TextEdit writes",
         "Meeting notes\\\nCaf\\'e9 at 5pm\\\r\n\\'80"
         "20 each\\\n\\\nEmoji\\\n}",
         "Meeting notes\nCaf\xC3\xA9 at 5pm\n\xE2\x82\xAC"
         "20 each\n\nEmoji\n"},
        {"a control word in a fallback is passed over", "\\uc1 a\\u8212\\emdash b\\par}",
         "a\xE2\x80\x94"
         "b\n"},
        {"fonts with a charset are read in its code page",
         "{\\f1 \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2} caf\\'e9 {\\f2 \\'82\\'a0\\'82\\'a2}\\f1 "
         "\\'cc\\'e8\\'f0\\plain  \\'e9\\par}",
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 caf\xC3\xA9 \xE3\x81\x82\xE3\x81\x84"
         "\xD0\x9C\xD0\xB8\xD1\x80 \xC3\xA9\n"},
        {"list bullets and symbols of symbol fonts",
         "{\\listtext\\pard\\plain \\f3\\fs24 \\'b7\\tab}Item {\\f3 \\'61\\'b9}{\\f4 \\'d8}"
         "{\\f3\\uc1\\u61623\\'b7}{\\f5 \\'d8}\\par}",
         "\xE2\x80\xA2\tItem \xCE\xB1\xE2\x89\xA0\xE2\x9E\xA2\xE2\x80\xA2\xEF\x83\x98\n"},
        // WordPad and LibreOffice keep a Word list's bullets in the Wingdings or Symbol font,
        // as private-use characters or as bytes.
        {"Wingdings and Symbol bullets of lists",
         "{\\listtext\\pard\\plain \\f4\\uc1\\u61656\\'3f\\tab}Arrow\\par"
         "{\\listtext\\pard\\plain \\f4 \\'a7\\tab}Square\\par"
         "{\\pntext\\f6\\'B7\\tab}Dot\\par}",
         "\xE2\x9E\xA2\tArrow\n\xE2\x96\xAA\tSquare\n\xE2\x80\xA2\tDot\n"},
        // A font the table does not define draws its private-use characters as Symbol does;
        // one it defines keeps them.
        {"a bullet in a font the table does not define",
         "{\\listtext\\pard\\plain \\f9\\uc1\\u61623\\'3f\\tab}Dot\\par"
         "{\\f0\\uc1\\u61623\\'3f}{\\f9 \\u8364?}\\par}",
         "\xE2\x80\xA2\tDot\n\xEF\x82\xB7\xE2\x82\xAC\n"},
        {"footnotes as Word writes them follow the body",
         "Body{\\cs15\\super \\chftn }{\\footnote \\pard\\plain \\s16\\fs20 {\\cs15\\super \\chftn "
         "}A footnote.\\par} text\\par More\\par}",
         "Body\u00B9 text\nMore\n\u00B9A footnote.\n"},
        {"footnotes as LibreOffice writes them follow the body",
         "Body{\\super\\chftn}{\\*\\footnote\\chftn\\pard\\plain\\s17\\fs20 One.}{\\super\\chftn}"
         "{\\*\\footnote\\chftn\\pard\\plain\\s17 Two.} text\\par}",
         "Body\u00B9\u00B2 text\n\u00B9One.\n\u00B2Two."},
        // Endnotes count apart from footnotes, in lower Roman unless the document says
        // otherwise, as in a .docx.
        {"endnotes are counted apart in their own format",
         "A{\\super\\chftn{\\*\\footnote\\ftnalt{\\super\\chftn} End.}} B{\\super\\chftn"
         "{\\*\\footnote{\\super\\chftn} Foot.}} C{\\super\\chftn{\\*\\footnote\\ftnalt"
         "{\\super\\chftn} Again.}}\\par}",
         "A\u2071 B\u00B9 C\u2071\u2071\n\u2071 End.\n\u00B9 Foot.\n\u2071\u2071 Again."},
        {"note formats the document names",
         "\\aftnnar\\ftnnruc A{\\super\\chftn{\\*\\footnote\\ftnalt{\\super\\chftn} E.}}"
         "{\\super\\chftn{\\*\\footnote{\\super\\chftn} F.}}\\par}",
         "A\u00B9I\n\u00B9 E.\nI F."},
        // Chicago's marks, the document's or a section's, then doubled.
        {"Chicago's note marks",
         "\\ftnnchi A{\\super\\chftn{\\*\\footnote{\\super\\chftn} One.}}"
         "{\\super\\chftn{\\*\\footnote{\\super\\chftn} Two.}}"
         "{\\super\\chftn{\\*\\footnote{\\super\\chftn} Three.}}"
         "{\\super\\chftn{\\*\\footnote{\\super\\chftn} Four.}}"
         "{\\super\\chftn{\\*\\footnote{\\super\\chftn} Five.}}"
         "{\\super\\chftn{\\*\\footnote{\\super\\chftn} Six.}}\\par}",
         "A*\u2020\u2021\u00A7**\u2020\u2020\n* One.\n\u2020 Two.\n\u2021 Three.\n\u00A7 Four.\n"
         "** Five.\n\u2020\u2020 Six."},
        {"a section's Chicago marks, its endnotes too",
         "A{\\super\\chftn{\\*\\footnote{\\super\\chftn} One.}}\\par\\sect\\sectd"
         "\\sftnnchi\\saftnnchi B{\\super\\chftn{\\*\\footnote{\\super\\chftn} Two.}}"
         "{\\super\\chftn{\\*\\footnote\\ftnalt{\\super\\chftn} End.}}\\par}",
         "A\u00B9\n\nB\u2020*\n\u00B9 One.\n\u2020 Two.\n* End."},
        // Notes start where the document or a section says (Word's "Start at").
        {"note numbers from the document's starts",
         "\\ftnstart5\\aftnstart3\\aftnnar A{\\super\\chftn{\\*\\footnote{\\super\\chftn} F.}}"
         "{\\super\\chftn{\\*\\footnote\\ftnalt{\\super\\chftn} E.}}\\par}",
         "A\u2075\u00B3\n\u2075 F.\n\u00B3 E."},
        {"a section's own start counts its notes again",
         "A{\\super\\chftn{\\*\\footnote{\\super\\chftn} One.}}\\par\\sect\\sectd\\sftnstart7 "
         "B{\\super\\chftn{\\*\\footnote{\\super\\chftn} Seven.}}\\par}",
         "A\u00B9\n\nB\u2077\n\u00B9 One.\n\u2077 Seven."},
        // A section's own note format and restart, as Word writes them after \\sect\\sectd.
        {"a section's own note format",
         "\\ftnnar A{\\super\\chftn{\\*\\footnote{\\super\\chftn} One.}}\\par\\sect\\sectd"
         "\\sftnnalc B{\\super\\chftn{\\*\\footnote{\\super\\chftn} Two.}}\\par\\sect\\sectd "
         "C{\\super\\chftn{\\*\\footnote{\\super\\chftn} Three.}}\\par}",
         "A\u00B9\n\nBb\n\nC\u00B3\n\u00B9 One.\nb Two.\n\u00B3 Three."},
        {"a section that begins its notes anew, and one that counts on",
         "A{\\super\\chftn{\\*\\footnote{\\super\\chftn} One.}}{\\super\\chftn{\\*\\footnote"
         "{\\super\\chftn} Two.}}\\par\\sect\\sectd\\sftnrestart\\sftnnruc B{\\super\\chftn"
         "{\\*\\footnote{\\super\\chftn} Again.}}\\par\\sect\\sectd\\sftnrstcont C{\\super"
         "\\chftn{\\*\\footnote{\\super\\chftn} On.}}\\par}",
         "A\u00B9\u00B2\n\nBI\n\nC\u00B2\n\u00B9 One.\n\u00B2 Two.\nI Again.\n\u00B2 On."},
        {"the document's notes begin anew in each section, its endnotes in a section's format",
         "\\ftnrestart A{\\super\\chftn{\\*\\footnote{\\super\\chftn} One.}}\\par\\sect"
         "\\saftnnauc B{\\super\\chftn{\\*\\footnote{\\super\\chftn} Again.}}{\\super\\chftn"
         "{\\*\\footnote\\ftnalt{\\super\\chftn} End.}}\\par}",
         "A\u00B9\n\nB\u00B9A\n\u00B9 One.\n\u00B9 Again.\nA End."},
        // A reference written inside a list's text, whose symbols read shorter once settled,
        // is put between characters, not inside one.
        {"a note referred to inside a list's text",
         "{\\listtext\\pard\\plain \\u61537?\\chftn\\u61537?\\tab}Item{\\footnote\\chftn Note.}"
         "\\par}",
         "\u03B1\u00B9\u03B1\tItem\n\u00B9Note."},
        // A negative parameter has ten digits beside its sign (LibreOffice dates tracked
        // changes so).
        {"a parameter's sign is not one of its ten digits",
         "Meet at {\\deleted\\revauthdel1\\revdttmdel-1845493740 3}{\\revised\\revauth1"
         "\\revdttm-1845493740 2} the new caf\\'e9\\fs12345678901\\par}",
         "Meet at 2 the new caf\xC3\xA9"
         "1\n"},
        // A list's text is drawn in its level's font, which LibreOffice names in the list
        // table while it writes the bullet in the default font (or under \af naming a font
        // called Symbol); Word writes the list's text before the paragraph names its list.
        {"list bullets in their level's font",
         "{\\*\\listtable{\\list\\listtemplateid1{\\listlevel\\levelnfc23{\\leveltext "
         "\\'01\\u61623 ?;}{\\levelnumbers;}\\f6\\fi-360\\li720}{\\listlevel\\levelnfc23"
         "{\\leveltext \\'01\\u61485 ?;}{\\levelnumbers;}\\f3\\fi-360}\\listid7}{\\list"
         "{\\listlevel\\f0}\\listid8}{\\list{\\listlevel\\f9}\\listid9}}{\\*\\listoverridetable"
         "{\\listoverride\\listid7\\listoverridecount0\\ls1}{\\listoverride\\listid8\\ls2}"
         "{\\listoverride\\listid9\\ls3}}"
         "\\pard\\plain\\ls1\\ilvl0 {\\listtext\\pard\\plain  \\u61623\\'3f\\tab}Bullet\\par"
         "{\\listtext\\pard\\plain\\af6 \\u61485\\'3f\\tab}\\pard\\plain\\ls1\\ilvl1 "
         "Dash\\par\\pard\\plain\\ls2 {\\listtext\\pard\\plain \\u61623\\'3f\\tab}Own\\par"
         "{\\listtext\\pard\\plain \\u61623\\'3f\\tab}\\ls3 Undefined\\par}",
         "\u2022\tBullet\n\u2212\tDash\n\uF0B7\tOwn\n\u2022\tUndefined\n"},
        {"a text box is read once from its shape",
         "Anchor{\\shp{\\*\\shpinst\\shpleft0\\shptop0\\shpright2000\\shpbottom1000{\\sp{\\sn "
         "shapeType}{\\sv 202}}{\\sp{\\sn fLine}{\\sv 0}}{\\shptxt \\pard\\plain Boxed text\\par}}"
         "{\\shprslt{\\*\\do\\dobxcolumn\\dobypara\\dptxbx{\\dptxbxtext\\pard\\plain Boxed text"
         "\\par}}}} after\\par}",
         "AnchorBoxed text\n after\n"},
        {"a table nested in a cell keeps its cells apart, once",
         "\\trowd\\cellx3000\\cellx6000\\pard\\intbl Outer\\cell \\pard\\intbl\\itap2 "
         "Inner one\\nestcell Inner two\\nestcell{\\*\\nesttableprops\\trowd\\cellx1000"
         "\\cellx2000\\nestrow}{\\nonesttables\\par}\\pard\\intbl After\\cell \\row "
         "Below\\par}",
         "Outer\tInner one\tInner two\t\nAfter\t\nBelow\n"},
        {"a picture's shape has no text",
         "a{\\shp{\\*\\shpinst{\\sp{\\sn pib}{\\sv {\\pict\\pngblip 89504e47}}}}{\\shprslt "
         "{\\pict 00}}}b\\par}",
         "ab\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RichTextReader::rtfText(head + c.body), c.text);
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

// A run of text longer than what is converted at once reads as one: its pieces end between
// characters, in a page of one byte a character and in a page of two alike, and whatever the
// run's last bytes are.
TEST(RichTextReaderTest, LongRtfRunsReadWhole) {
    struct Case {
        const char* name;
        std::string head;
        std::string unit;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"windows-1252", "\\ansicpg1252 ", "caf\\'e9 ", "caf\u00E9 "},
        {"Shift_JIS with spaces", "\\ansicpg932 ", "\\'93\\'fa\\'96\\'7b ", "\u65E5\u672C "},
        {"Shift_JIS without", "\\ansicpg932 ", "\\'93\\'fa\\'96\\'7b", "\u65E5\u672C"},
        {"Shift_JIS of lead bytes and high trail bytes alone", "\\ansicpg932 ", "\\'82\\'a0",
         "\u3042"},
        {"UTF-8", "\\ansicpg65001 ", "\\'c3\\'a9\\'e2\\'82\\'ac", "\u00E9\u20AC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string rtf = "{\\rtf1\\ansi" + c.head;
        std::string text;
        for (int i = 0; i < 30'001; ++i) {
            rtf += c.unit;
            text += c.text;
        }
        EXPECT_EQ(RichTextReader::rtfText(rtf + "}"), text);
    }
}

TEST(RichTextReaderTest, ReadsHtmlTextWithoutScriptsOrStyles) {
    const std::string html =
        "<!DOCTYPE html><html><head><title>T</title><style>p{}</style></head>"
        "<body><h1>Lease</h1><p>Pets &amp; plants</p><script>var x = 1;</script>"
        "<ul><li>one</li><li>two</li></ul></body></html>";
    const auto text = RichTextReader::plainText(html);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "Lease\nPets & plants\n\u2022\tone\n\u2022\ttwo");
}

// List items numbered and bulleted as a browser shows them, as the word-processor readers write
// them (the number or bullet, then a tab).
TEST(RichTextReaderTest, HtmlListItemsKeepTheirNumbers) {
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"numbers and nested bullets",
         "<ol><li>one<li>two<ul><li>a<ul><li>b<ul><li>c</ul></ul></ul><li>three</ol>",
         "1.\tone\n2.\ttwo\n\u25E6\ta\n\u25AA\tb\n\u25AA\tc\n3.\tthree"},
        {"a start, a type and a value",
         "<ol start=\"5\" type=\"A\"><li>e</li><li value=\"9\">i</li><li>j</li></ol>"
         "<ol type=\"i\" start=\" 3x\"><li>iii</li></ol>",
         "E.\te\nI.\ti\nJ.\tj\niii.\tiii"},
        {"reversed, counted from its own items",
         "<ol reversed><li>a<ol reversed><li>x<li>y</ol><li>b<li>c</ol>",
         "3.\ta\n2.\tx\n1.\ty\n2.\tb\n1.\tc"},
        {"reversed from a start, past zero", "<ol reversed start=\"1\"><li>a<li>b</ol>",
         "1.\ta\n0.\tb"},
        {"a bullet type, a menu, and an item outside any list",
         "<ul type=\"square\"><li>a</ul><menu><li>m<ul><li>n</ul></menu><li>lone</li>",
         "\u25AA\ta\n\u2022\tm\n\u25E6\tn\n\u2022\tlone"},
        {"a hidden item is not counted",
         "<ol><li>a<li hidden>b<li style=\"display:none\">c<li>d</ol>", "1.\ta\n2.\td"},
        {"a list ends where it ends", "<ol><li>a</ol><ol><li>b</ol><p>text</p>",
         "1.\ta\n1.\tb\ntext"},
        // Pandoc's loose lists and many generators open each item with a block.
        {"an item's first text stays on its marker's line whatever block opens it",
         "<ol>\n<li>\n<p>Minutes</p>\n<p>read aloud</p>\n</li>\n<li><div>Budget</div></li>"
         "<li><h3>Plans</h3></li><li></li><li><p>Last</p></li><li><br>Broken</ol>",
         "1.\tMinutes\nread aloud\n2.\tBudget\n3.\tPlans\n4.\t\n5.\tLast\n6.\t\nBroken"},
        {"a reversed list counts no hidden item",
         "<ol reversed><li>a<li hidden>h<li style=\"display: none\">n<li>b<div hidden><li>x"
         "</div><li>c</ol>",
         "3.\ta\n2.\tb\n1.\tc"},
        {"a reversed list counts no item in a comment",
         "<ol reversed><li>a<!-- <li>old --><li>b</ol>", "2.\ta\n1.\tb"},
        {"a reversed list counts no item of a menu inside it",
         "<ol reversed><li>a<menu><li>m<li>n</menu><li>b</ol>",
         "2.\ta\n\u25E6\tm\n\u25E6\tn\n1.\tb"},
        {"an inline list-style-type marks the items",
         "<ol style=\"list-style-type: upper-roman\"><li>a<li>b</ol>"
         "<ul style=\"color: red; LIST-STYLE: square inside\"><li>s</ul>"
         "<ul style=\"list-style-type:decimal\"><li>d</ul>"
         "<ol style=\"list-style-type: none\"><li>plain</ol>"
         "<ol><li>one<li style=\"list-style-type: lower-alpha\">two<li style=\"list-style: "
         "none\">three<li>four</ol>",
         "I.\ta\nII.\tb\n\u25AA\ts\n1.\td\nplain\n1.\tone\nb.\ttwo\nthree\n4.\tfour"},
        {"letters count on past z as browsers count them",
         "<ol type=\"a\" start=\"26\"><li>z<li>aa<li>ab</ol>", "z.\tz\naa.\taa\nab.\tab"},
        {"Greek letters count on past omega",
         "<ol style=\"list-style-type: lower-greek\" start=\"23\"><li>psi<li>omega<li>on</ol>",
         "\u03C8.\tpsi\n\u03C9.\tomega\n\u03B1\u03B1.\ton"},
        {"the predefined counter styles of other scripts",
         "<ol style=\"list-style-type: arabic-indic\" start=\"9\"><li>a<li>b</ol>"
         "<ol style=\"list-style: korean-hangul-formal\" start=\"10\"><li>k</ol>"
         "<ol style=\"list-style-type: hiragana\"><li>h<li>i</ol>"
         "<ol style=\"list-style-type: decimal-leading-zero\" start=\"0\"><li>z</ol>",
         "\u0669.\ta\n\u0661\u0660.\tb\n\uC77C\uC2ED,\tk\n\u3042\u3001\th\n\u3044\u3001\ti\n00."
         "\tz"},
        // Pandoc's task lists: each item's box, ticked or not, as a document's checkbox reads.
        {"a task list keeps which items are done",
         "<ul class=\"task-list\"><li><input type=\"checkbox\" disabled=\"\" checked=\"\" />"
         "Done</li><li><input type=checkbox disabled>To do</li><li><input TYPE=CHECKBOX CHECKED> "
         "Also done<li><input type=text value=x>Named</ul>",
         "\u2022\t\u2612 Done\n\u2022\t\u2610 To do\n\u2022\t\u2612 Also done\n\u2022\tNamed"},
        {"an item that opens with a list has its number on the line of that list's first item",
         "<ol><li><ul><li>a<li>b</ul><li><div><ol><li><p>x</ol></div><li><ol></ol><li>c"
         "<li><ul><li hidden>h<li>d</ul></ol>",
         "1.\t\u25E6\ta\n\u25E6\tb\n2.\t1.\tx\n3.\t\n4.\tc\n5.\t\u25E6\td"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RichTextReader::htmlText("<html><body>" + c.body + "</body></html>"), c.text);
    }
}

// References as the standard's tokenizer reads them in text: the whole table of names, the longest
// name that matches, the legacy names without their semicolon, and numbers of C1 controls as the
// windows-1252 characters pages meant.
TEST(RichTextReaderTest, CharacterReferencesReadAsBrowsersReadThem) {
    struct Case {
        std::string html;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"&check; &NotEqual; &fjlig; &CounterClockwiseContourIntegral;",
         "\xE2\x9C\x93 \xE2\x89\xA0 fj \xE2\x88\xB3"},
        {"&nbsp;&nbsp;x", "\xC2\xA0\xC2\xA0x"},
        {"&copy 2020 &nbspx &amp &lt&gt", "\xC2\xA9 2020 \xC2\xA0x & <>"},
        {"&notit; &notin; &ampersand", "\xC2\xACit; \xE2\x88\x89 &ersand"},
        {"&NotEqualTilde; &nvlt;", "\xE2\x89\x82\xCC\xB8 <\xE2\x83\x92"},
        {"&#150; &#x80; &#x9d; &#8212;", "\xE2\x80\x93 \xE2\x82\xAC \xC2\x9D \xE2\x80\x94"},
        {"&unknown; &check &; & x", "&unknown; &check &; & x"},
        {"AT&T;", "AT&T;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.html);
        EXPECT_EQ(HtmlText::text(c.html), c.text);
    }
}

// A browser shows the options of a list each on its own line, never run together.
TEST(RichTextReaderTest, ListOptionsStayApart) {
    EXPECT_EQ(RichTextReader::htmlText(
                  "<html><body><label>Size</label><select><option>Small</option><option "
                  "selected>Medium<option>Large</select><select><optgroup label=g><option>A"
                  "</option></optgroup></select></body></html>"),
              "Size\nSmall\nMedium\nLarge\nA");
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
        // A page that is not UTF-8 and names no encoding is read as windows-1252.
        {"an ampersand before a byte above 127", "<html>&\xA0z", "&\xC2\xA0z"},
        {"in the body of a page", "<html><body><p>a&\xE9</p></body></html>", "a&\xC3\xA9"},
        {"bytes that are no UTF-8 in a page that says it is",
         "<html><meta charset=utf-8>a\xFF"
         "b",
         "a" + replacement + "b"},
        {"a reference to no character", "<html>&#0;&#xD800;&#99999999999;&#x41;",
         replacement + replacement + replacement + "A"},
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

// The processor time a thread's clock has counted.
std::chrono::nanoseconds cpuTime(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Reads on a thread of its own and asks the read to stop once that thread has worked for
// `into`; the processor time the thread spent between the request and the read's end (however
// it ended: a read that passes the stop by reads on to its end), or nothing when the read ended
// before the request. Work is counted, not the wall clock, so a busy machine that leaves the
// reader waiting for a processor does not count against it.
std::optional<std::chrono::nanoseconds> workAfterStop(
    const std::function<void(std::stop_token)>& read, std::chrono::milliseconds into) {
    std::stop_source source;
    std::atomic<bool> ended = false;
    std::chrono::nanoseconds atEnd{};
    std::thread reader([&] {
        try {
            read(source.get_token());
        } catch (const Error&) {
        }
        clockid_t own{};
        ::pthread_getcpuclockid(::pthread_self(), &own);
        atEnd = cpuTime(own);
        ended = true;
    });
    clockid_t clock{};
    ::pthread_getcpuclockid(reader.native_handle(), &clock);
    std::chrono::nanoseconds atRequest{};
    while (!ended) {
        if (const auto now = cpuTime(clock); now >= into) {
            atRequest = now;
            source.request_stop();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    if (!source.stop_requested()) {
        return std::nullopt;
    }
    return atEnd - atRequest;
}

// Every reader looks at the stop token through its whole work: a stop requested at any point of
// the reading of 64 MiB of the worst shapes ends it with an error within 100 ms of its work.
TEST(RichTextReaderTest, AStopEndsEveryReaderPromptly) {
    constexpr std::size_t kSize = std::size_t{64} * 1024 * 1024;
    // The head, then the unit over and over (doubled, as appending it unit by unit would cost
    // more than the readings).
    const auto repeated = [&](const std::string& head, std::string_view unit) {
        std::string units(unit);
        while (units.size() < kSize - head.size()) {
            units += units;
        }
        units.resize(kSize - head.size());
        return head + units;
    };
    // Whole units of markup, as many as an entry holds with room for the document around them.
    const auto wholeUnits = [&](std::string_view unit) {
        auto out = repeated("", unit);
        out.resize((kSize - 4096) / unit.size() * unit.size());
        return out;
    };
    const std::string declared = "<html><head><meta charset=\"utf-8\"></head><body>";
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"HTML: nested lists", repeated(declared, "<ol><li>x")},
        {"HTML: nested reversed lists", repeated(declared, "<ol reversed><li>x")},
        {"HTML: line breaks", repeated(declared, "<br>")},
        // A page that declares no charset is scanned whole for a declaration first.
        {"HTML: line breaks, no charset declared", repeated("<html><body>", "<br>")},
        {"HTML: nested lists, no charset declared", repeated("<html><body>", "<ol><li>x")},
        {"HTML: one long run of text", repeated(declared, "text ")},
        {"HTML: preformatted text", repeated(declared + "<plaintext>", "text\r\n")},
        {"HTML: one element of many attributes", repeated(declared + "<p", " a=v")},
        {"HTML: a comment of many dashes", repeated(declared + "<!--", "-- x ")},
        {"HTML: a title of many end tags", repeated(declared + "<title>", "</x>")},
        {"HTML: a long numeric reference", repeated(declared + "&#", "0")},
        {"HTML: a page in windows-1252",
         repeated("<html><head><meta charset=\"windows-1252\"></head><body>", "caf\xE9<br>\n")},
        {"RTF: groups and control words", repeated("{\\rtf1\\ansi ", "{\\b x}\\par ")},
        {"RTF: one long run of text", repeated("{\\rtf1\\ansi ", "text ")},
        {"RTF: one long run in a double-byte page",
         repeated("{\\rtf1\\ansi\\ansicpg932 ", "\x93\xFA\x96\x7B ")},
        {"RTF: deep groups", repeated("{\\rtf1\\ansi ", "{")},
        {"RTF: a long list text", repeated("{\\rtf1\\ansi {\\listtext ", "text ") + "}after}"},
        {"RTF: many notes", repeated("{\\rtf1\\ansi\\ftnnchi ", "a{\\super\\chftn{\\footnote n}}")},
        // The word-processor readers, their markup just within an entry's bound.
        {".docx: one paragraph of many runs",
         test::docxDocument("<w:p>" + wholeUnits("<w:r><w:t>text</w:t></w:r>") + "</w:p>")},
        {".odt: many paragraphs", test::odtDocument(wholeUnits("<text:p>text</text:p>"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::stop_source before;
        before.request_stop();
        EXPECT_THROW(RichTextReader::plainText(c.bytes, before.get_token()), Error);
        int stopped = 0;
        // Early in the work (an HTML page's UTF-8 check) and well into it.
        for (const auto into : {std::chrono::milliseconds(100), std::chrono::milliseconds(400)}) {
            SCOPED_TRACE(into.count());
            const auto work = workAfterStop(
                [&](std::stop_token stop) { RichTextReader::plainText(c.bytes, std::move(stop)); },
                into);
            if (work) {
                ++stopped;
                EXPECT_LT(*work, std::chrono::milliseconds(100));
            }
        }
        EXPECT_GT(stopped, 0);
    }
}

// Attributes past the bound are dropped in whatever pieces the markup arrives; what looks like
// a tag inside a comment or a CDATA section is not one, and namespace declarations are kept
// wherever they stand.
TEST(MarkupAttributeBoundTest, DropsOnlyAttributesPastTheBound) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
        bool refused = false;
    };
    const std::vector<Case> cases = {
        {"within the bound", "<a x=\"1\" y='2'>t</a>", "<a x=\"1\" y='2'>t</a>"},
        {"past it, the empty element kept", "<a x=\"1\" y=\"2\" z=\"3\"/>t",
         "<a x=\"1\" y=\"2\" />t"},
        {"a quoted >", "<a x=\"1\" y=\"2\" z=\">\">t", "<a x=\"1\" y=\"2\" >t"},
        {"comment", "<!-- <b p q r s> -->t", "<!-- <b p q r s> -->t"},
        {"cdata", "<![CDATA[<b p q r s>]]>t", "<![CDATA[<b p q r s>]]>t"},
        {"namespace declarations past the bound are kept",
         "<a x=\"1\" y=\"2\" z=\"3\" xmlns:w=\"u\" xmlnz=\"4\" xmlns=\"d\">t",
         "<a x=\"1\" y=\"2\"  xmlns:w=\"u\" xmlns=\"d\">t"},
        {"names that begin like one are not", "<a xm=\"1\" xmlnsx=\"2\" x=\"3\" xmlns:p=\"4\">",
         "<a xm=\"1\" xmlnsx=\"2\"  xmlns:p=\"4\">"},
        {"too many namespace declarations",
         "<a xmlns:a=\"1\" xmlns:b=\"2\" xmlns:c=\"3\" xmlns:d=\"4\">",
         "<a xmlns:a=\"1\" xmlns:b=\"2\"  xmlns:c=\"3\"  xmlns:d=\"4\">", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, c.in.size()}) {
            MarkupAttributeBound bound(2, 3);
            std::string out;
            for (std::size_t at = 0; at < c.in.size(); at += piece) {
                bound.filter(std::string_view(c.in).substr(at, piece), out);
            }
            EXPECT_EQ(out, c.out);
            EXPECT_EQ(bound.refused(), c.refused);
        }
    }
}

std::string manyAttributes(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += " a" + std::to_string(i) + "=v";
    }
    return out;
}

// Where markup ends is decided once, by the one tokenizer that reads the page, as a browser
// decides it: a construct that ends early never hides an element of many attributes from a
// bound, and a "<" that starts no tag is text.
TEST(RichTextReaderTest, MarkupEndsWhereBrowsersEndIt) {
    std::string words;
    for (int i = 1; i <= 40; ++i) {
        words += " w" + std::to_string(i);
    }
    const auto hostile = "<p" + manyAttributes(100'000) + ">after</p>";
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"CDATA outside foreign content ends at the first >",
         "<![CDATA[ x >shown" + hostile + "]]>", "shown\nafter\n]]>"},
        {"a comment ends at --!>", "<!-- x --!>shown" + hostile, "shown\nafter"},
        {"and at <!--> or <!--->", "a<!-->b<!--->c<!-- d -- e --->f", "abcf"},
        {"a declaration or instruction ends at the first >", "<!x y>a<?php echo '>b'; ?>c",
         "ab'; ?>c"},
        {"< before a non-ASCII letter is text",
         "Rooms <\xE2\x82\xAC"
         "100 per night:" +
             words,
         "Rooms <\xE2\x82\xAC"
         "100 per night:" +
             words},
        {"< before Cyrillic",
         "\xD0\xA6\xD0\xB5\xD0\xBD\xD0\xB0 <\xD0\xB1\xD0\xBE\xD0\xBB\xD0\xB5\xD0\xB5 100" + words,
         "\xD0\xA6\xD0\xB5\xD0\xBD\xD0\xB0 <\xD0\xB1\xD0\xBE\xD0\xBB\xD0\xB5\xD0\xB5 100" + words},
        {"< before _, : or a digit", "a <_b <:c <5 d", "a <_b <:c <5 d"},
        {"a script holds markup", "<script><b p q r s></SCRIPT><i p q r>t", "t"},
        {"unquoted and quoted values", "<p a=1 b c d=4 e='>' f=\"x>\">t", "t"},
        // "&amp" is one of the names a page may write without its semicolon.
        {"references", "&amp;&lt;&nbsp;&#8364;&#x20ac;&bogus; & &amp",
         "&<\xC2\xA0\xE2\x82\xAC\xE2\x82\xAC&bogus; & &"},
        {"white space collapses outside pre",
         "<p> one\n  two </p><pre> a\n   b</pre><textarea>x &amp;  y</textarea>",
         "one two\n a\n   b\nx & y"},
        {"the title and templates are left out", "<title>T</title><template>u</template>v", "v"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto text = RichTextReader::htmlText("<html><body>" + c.body + "</body></html>");
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, c.text);
    }
}

// What follows a comment, tag or script the page never ends is not text, as in a browser; the
// log says how much was passed over.
TEST(RichTextReaderTest, APageEndingInsideMarkupSaysWhatWasNotRead) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<!-- never ended", "a comment"},
        {"<p title='never ended>b", "a quoted attribute value"},
        {"<p never ended", "a tag"},
        {"<script>never ended", "a <script> element"},
        {"<!DOCTYPE never ended", "a declaration"},
    };
    for (const auto& [tail, what] : cases) {
        SCOPED_TRACE(tail);
        test::LogCapture logs;
        EXPECT_EQ(RichTextReader::htmlText("<html><body>a " + tail), "a");
        bool noted = false;
        for (const auto& record : logs->records()) {
            noted = noted || record.message.find("ends inside " + what) != std::string::npos;
        }
        EXPECT_TRUE(noted);
    }
    test::LogCapture logs;
    EXPECT_EQ(RichTextReader::htmlText("<html><body>a <!-- b --> c</body></html>"), "a c");
    EXPECT_TRUE(logs->records().empty());
}

TEST(RichTextReaderTest, HtmlTableCellsAndRowsStayApart) {
    const auto text = RichTextReader::htmlText(
        "<html><body><table><tr><td>Subtotal</td><td>39.98</td></tr>\n"
        "<tr><th>VAT</th> <td>7.60</td></tr><tr><td>a<p>b</p></td><td>c</td></tr></table>"
        "after</body></html>");
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "Subtotal\t39.98\nVAT\t7.60\na\nb\nc\nafter");
}

// What the `hidden` attribute or an inline `display: none` hides is not on the page a browser
// shows, with all it holds, up to where the element ends.
TEST(RichTextReaderTest, HiddenElementsAreLeftOut) {
    struct Case {
        std::string name;
        std::string body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"the hidden attribute", "<p>shown</p><div hidden><p>secret</p></div><p>after</p>",
         "shown\nafter"},
        {"hidden with a value, in capitals", "<p>a<span HIDDEN=\"hidden\">b</span>c</p>", "ac"},
        {"display: none inline",
         "<p>a<span style=\"color: red; DISPLAY : None !important\">b</span>c</p>", "ac"},
        {"display: none unquoted", "<p>a<span style=display:none>b</span>c</p>", "ac"},
        {"other styles and look-alike attributes hide nothing",
         "<p>a<span style=\"display:none-ish\">b</span><span data-hidden>c</span>"
         "<span style=\"display: inline\" title=\"display:none\">d</span></p>",
         "abcd"},
        {"nested elements of the same name",
         "<div hidden><div>one</div><div>two</div></div><div>after</div>", "after"},
        {"an item whose end tag is left out", "<ul><li>one<li hidden>two<li>three</ul>",
         "\u2022\tone\n\u2022\tthree"},
        {"a paragraph ended by a block", "<p hidden>secret<div>shown</div>", "shown"},
        {"ended by the end of the element around it", "<div><span hidden>secret<b>bold</div>after",
         "after"},
        {"scripts and void elements inside",
         "<div hidden>a<br><img src=x><script>x</script>b"
         "</div>c",
         "c"},
        {"a cell ends what it hides", "<table><tr><td><span hidden>x</td><td>y</td></tr></table>",
         "y"},
        {"a stray end tag inside ends nothing", "<div hidden>a</b>b</div>c", "c"},
        {"a void element with the attribute hides nothing", "<p>a<img hidden>b</p>", "ab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RichTextReader::htmlText("<html><body>" + c.body + "</body></html>"), c.text);
    }
}

// A browser's order: byte order mark, then the XML declaration or a meta charset, then UTF-8
// when the bytes are UTF-8, then a guess.
TEST(RichTextReaderTest, HtmlEncodingIsPickedAsBrowsersPickIt) {
    const std::string greeting =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus M\xC3\xBC"
        "nchen";
    const std::string latin1 =
        "Gr\xFC\xDF"
        "e aus M\xFC"
        "nchen";
    const std::string body = "<body><p>" + greeting + "</p></body></html>";
    const std::string utf16 = std::string("\xFF\xFE<\0h\0t\0m\0l\0>\0G\0r\0\xFC\0\xDF\0", 22);
    struct Case {
        std::string name;
        std::string page;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"UTF-8 without a charset", "<html>" + body, greeting},
        {"XHTML declaring UTF-8",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html "
         "xmlns=\"http://www.w3.org/1999/xhtml\">" +
             body,
         greeting},
        {"a UTF-8 byte order mark", "\xEF\xBB\xBF<!DOCTYPE html><html>" + body, greeting},
        {"a meta charset inside a comment is none", "<html><!-- <meta charset=koi8-r> -->" + body,
         greeting},
        {"labels that cannot be the page's own are none",
         "<html><meta charset=utf-32><meta charset=ibm037><meta charset=no-such>" + body, greeting},
        {"a declared Latin-1", "<html><head><meta charset='ISO-8859-1'></head><p>" + latin1,
         greeting},
        {"a charset in http-equiv",
         "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
         "charset=windows-1251\"></head><p>\xD6\xE5\xED\xE0",
         "\xD0\xA6\xD0\xB5\xD0\xBD\xD0\xB0"},
        {"undeclared and not UTF-8",
         "<html><body><p>Liebe " + latin1 +
             ", die Stra\xDF"
             "e ist gesperrt, wir m\xFCssen "
             "\xFC"
             "ber die Br\xFC"
             "cke fahren. Viele Gr\xFC\xDF"
             "e.</p></body></html>",
         "Liebe " + greeting +
             ", die Stra\xC3\x9F"
             "e ist gesperrt, wir m\xC3\xBCssen \xC3\xBC"
             "ber die Br\xC3\xBC"
             "cke fahren. Viele Gr\xC3\xBC\xC3\x9F"
             "e."},
        {"UTF-16 with its byte order mark", utf16, "Gr\xC3\xBC\xC3\x9F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto text = RichTextReader::plainText(c.page);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, c.text);
    }
}

// Browsers write "<!-- saved from url=... -->" before a saved page's markup.
TEST(RichTextReaderTest, SavedPagesThatStartWithACommentAreHtml) {
    const std::vector<std::string> pages = {
        "<!-- saved from url=(0029)https://example.com/page -->\n<html><head><style>p{color:red}"
        "</style><script>var a = 1;</script></head><body><p>Hello</p></body></html>",
        "\xEF\xBB\xBF<!-- one --><!-- two -->\r\n<!DOCTYPE html><body><p>Hello</p>",
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(page);
        EXPECT_EQ(RichTextReader::plainText(page), "Hello");
    }
    // A comment is one of the starts browsers sniff as HTML; one never ended shows nothing.
    EXPECT_EQ(RichTextReader::plainText("<!-- a comment, then plain text"), "");
}

// Bytes not named as a page are HTML where browsers sniff HTML: one of the standard's starting
// tags (in any case, after white space) followed by a space or ">".
TEST(RichTextReaderTest, PagesAreSniffedAsBrowsersSniffThem) {
    struct Case {
        std::string start;
        bool html;
    };
    const std::vector<Case> cases = {
        {"<!DOCTYPE html>", true},
        {"<HTML>", true},
        {"  \n<head>", true},
        {"<script>x</script>", true},
        {"<iframe src=a>", true},
        {"<h1>", true},
        {"<DIV class=a>", true},
        {"<font size=2>", true},
        {"<table>", true},
        {"<a href=x>", true},
        {"<style>", true},
        {"<title>", true},
        {"<b>", true},
        {"<body>", true},
        {"<br>", true},
        {"<p>", true},
        {"<!-- c -->", true},
        {"<abbr>", false},
        {"<meta charset=utf-8>", false},
        {"<bold>", false},
        {"<h2>", false},
        {"<!--c-->", false},
        {"text <p>", false},
        {"<p", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        EXPECT_EQ(RichTextReader::htmlText(c.start + "Body").has_value(), c.html);
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
    EXPECT_EQ(decoding::utf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(decoding::utf8("\xEF\xBB\xBFhi"), "hi");
    EXPECT_FALSE(decoding::utf8("caf\xE9").has_value());

    const std::string latin1 =
        "Le caf\xE9 de la gare \xE9tait ferm\xE9 le dimanche, mais la boulangerie \xE0 c\xF4t\xE9 "
        "restait ouverte jusqu'\xE0 midi pour les habitu\xE9s du quartier.";
    std::string encoding;
    const auto decoded = decoding::detected(latin1, &encoding);
    ASSERT_TRUE(decoded.has_value()) << encoding;
    EXPECT_NE(decoded->find("caf\xC3\xA9 de la gare"), std::string::npos) << encoding;

    EXPECT_FALSE(decoding::convert("abc", "no-such-encoding").has_value());
    EXPECT_FALSE(decoding::convert("\xFF\xFE\xFD", "UTF-8").has_value());
}

}  // namespace
}  // namespace vask
