#include <gtest/gtest.h>

#include <functional>

#include "chat/inline_markdown.h"

namespace vask {
namespace {

std::string body(std::string_view markdown) {
    const std::string html = inline_markdown::toRichText(markdown);
    const std::string open = "<span style=\"white-space:pre-wrap\">";
    EXPECT_EQ(html.rfind(open, 0), 0U) << html;
    EXPECT_TRUE(html.ends_with("</span>")) << html;
    return html.substr(open.size(), html.size() - open.size() - 7);
}

struct Case {
    const char* name;
    const char* markdown;
    const char* html;
};

class InlineMarkdownTest : public ::testing::TestWithParam<Case> {};

TEST_P(InlineMarkdownTest, RendersTheInlineSubsetAndEscapesTheRest) {
    EXPECT_EQ(body(GetParam().markdown), GetParam().html);
}

INSTANTIATE_TEST_SUITE_P(
    Subset, InlineMarkdownTest,
    ::testing::Values(
        Case{"strong", "a **bold** b", "a <b>bold</b> b"},
        Case{"emphasis", "*it* and _it_", "<i>it</i> and <i>it</i>"},
        Case{"code", "run `ls -la` now", "run <code>ls -la</code> now"},
        Case{"codeKeepsMarkers", "`**x** <b>`", "<code>**x** &lt;b&gt;</code>"},
        Case{"doubleBacktickCode", "``a ` b``", "<code>a ` b</code>"},
        Case{"strikethrough", "~~gone~~ ~one~", "<s>gone</s> ~one~"},
        Case{"link", "[site](https://example.com/a?b=1&c=2)",
             "<a href=\"https://example.com/a?b=1&amp;c=2\">site</a>"},
        Case{"linkTextFormatted", "[**big**](https://x.org)",
             "<a href=\"https://x.org\"><b>big</b></a>"},
        Case{"strongAndEmphasis", "***both***", "<i><b>both</b></i>"},
        Case{"emphasisAroundStrong", "*a **b** c*", "<i>a <b>b</b> c</i>"},
        Case{"strongAroundEmphasis", "**a *b* c**", "<b>a <i>b</i> c</b>"},
        Case{"crossedMarkersStayBalanced", "*a **b* c**", "<i>a <i><i>b</i> c</i></i>"},
        Case{"unclosed", "**open and `tick", "**open and `tick"},
        Case{"spacedMarkers", "2 * 3 * 4", "2 * 3 * 4"},
        Case{"snakeCase", "file_name_here", "file_name_here"},
        Case{"escapedMarker", "\\*not\\*", "*not*"},
        Case{"headingLiteral", "# Title\n- item\n> quote", "# Title<br>- item<br>&gt; quote"},
        Case{"fenceLiteral", "```\ncode\n```", "```<br>code<br>```"},
        Case{"whitespaceKept", "  two  spaces\n\n\nend", "  two  spaces<br><br><br>end"},
        Case{"crlf", "a\r\nb", "a<br>b"},
        Case{"htmlTags", "<script>alert('x')</script> & <b>",
             "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &lt;b&gt;"},
        Case{"javascriptLink", "[x](javascript:alert(1))", "<a href=\"javascript:alert(1)\">x</a>"},
        Case{"fileLink", "[passwd](file:///etc/passwd)",
             "<a href=\"file:///etc/passwd\">passwd</a>"},
        Case{"attributeBreakout", "[x](https://a.org/\"onmouseover=\"y)",
             "<a href=\"https://a.org/&quot;onmouseover=&quot;y\">x</a>"},
        Case{"linkWithBlankIsText", "[x](https://a.org/ b)", "[x](https://a.org/ b)"},
        Case{"emptyDestination", "[x]()", "[x]()"},
        Case{"nestedLinkText", "[[a](https://b.org)](https://c.org)",
             "<a href=\"https://c.org\">[a](https://b.org)</a>"},
        Case{"deepNesting", "**~~*`x`*~~**", "<b><s><i><code>x</code></i></s></b>"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace vask

namespace vask {
namespace {

// Texts that made the renderer rescan what it had passed: each must cost about as many steps
// per character at four times the length. A rescan per marker would cost four times as many.
TEST(InlineMarkdownCostTest, GrowsWithTheTextAndNoFaster) {
    struct CostCase {
        const char* name;
        std::function<std::string(std::size_t)> text;
    };
    const auto repeated = [](std::string unit) {
        return [unit](std::size_t n) {
            std::string out;
            for (std::size_t i = 0; i < n; ++i) {
                out += unit;
            }
            return out;
        };
    };
    const std::vector<CostCase> cases = {
        {"unmatchedBrackets", repeated("[")},
        {"unmatchedTildes", repeated("a~")},
        {"unclosedDestinations", repeated("[](")},
        {"bracketThenLinks", repeated("[ [a](b) ")},
        {"unmatchedStars", repeated("a**")},
        {"mixedMarkers", repeated("*_~[`")},
        {"distinctBacktickRuns",
         [](std::size_t n) {
             std::string out;
             for (std::size_t i = 1; out.size() < n; ++i) {
                 out += std::string(i % 97 + 1, '`') + "x";
             }
             return out;
         }},
    };
    for (const auto& c : cases) {
        const double small = static_cast<double>(inline_markdown::renderSteps(c.text(10'000)));
        const double large = static_cast<double>(inline_markdown::renderSteps(c.text(40'000)));
        EXPECT_LT(large / small, 6.0) << c.name << ": " << small << " then " << large;
    }
}

TEST(InlineMarkdownCostTest, EdgesOfTheOnePassKeepTheirMeaning) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // A backtick in a destination is no address: the text stays as written.
        {"[x](a`b) `c`", "[x](a<code>b) </code>c`"},
        {"[x](https://a.org) [y](https://b.org)",
         "<a href=\"https://a.org\">x</a> <a href=\"https://b.org\">y</a>"},
        {"[ [a](https://b.org)", "[ <a href=\"https://b.org\">a</a>"},
        {"[a `]` b](https://c.org)", "<a href=\"https://c.org\">a <code>]</code> b</a>"},
        {"\\``code`", "`<code>code</code>"},
        {"`a\nb` `c`", "`a<br>b<code> </code>c`"},
        {"``a`b``", "<code>a`b</code>"},
        {"[a](b(c)d)", "<a href=\"b(c)d\">a</a>"},
        {"~~a~ b~~", "<s>a~ b</s>"},
        {"a~ ~~b~~ c~", "a~ <s>b</s> c~"},
    };
    for (const auto& [markdown, html] : cases) {
        const std::string rendered = inline_markdown::toRichText(markdown);
        EXPECT_EQ(rendered, "<span style=\"white-space:pre-wrap\">" + html + "</span>") << markdown;
    }
}

}  // namespace
}  // namespace vask
