#pragma once

#include <string>
#include <string_view>

namespace vask::inline_markdown {

// An answer's inline Markdown (emphasis, strong, inline code, strikethrough, links) as rich text
// for the toolkit's text labels. Every other character is escaped, so markup in the answer shows
// as written; spaces and line breaks are kept; block syntax (headings, list markers, quotes,
// fences) stays literal text. Unmatched markers are shown as typed. Links keep their target in
// `href` whatever the scheme: whether one may be opened is the view's decision.
std::string toRichText(std::string_view markdown);

// The work toRichText does for `markdown`, in steps that each look at one character or at one
// earlier marker: for tests that its cost grows with the text and no faster.
std::size_t renderSteps(std::string_view markdown);

}  // namespace vask::inline_markdown
