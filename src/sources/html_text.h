#pragma once

#include <stop_token>
#include <string>
#include <string_view>

// The visible text of an HTML page, read by a tokenizer of our own that follows the HTML
// standard's tokenizer where it decides what is markup: comments (ended by "-->", "--!>", "<!-->"),
// bogus comments ("<!x", "<?x", "<![CDATA[", all ended by the first ">"), a tag only where "<"
// (or "</") is followed by an ASCII letter, and the raw text of scripts, styles and titles.
//
// It is the only reader of the markup, so no earlier pass can see it differently, and it is
// linear by construction: every byte is looked at a bounded number of times, attributes are
// passed over without being kept, and no tree is built (memory follows the text, at most the
// page's size). The stop token is checked every 64 KB of markup.
namespace vask::HtmlText {

// `page` is UTF-8. Block elements end a line, table cells are separated by a tab and rows by a
// line break, list items begin with their number or bullet and a tab as a browser shows them; white
// space collapses as a browser shows it, except in preformatted elements. Scripts, styles, the
// title and templates are left out, and so are elements hidden by their `hidden` attribute or an
// inline `display: none`. Throws vask::Error when `stop` is requested.
std::string text(std::string_view page, std::stop_token stop = {});

}  // namespace vask::HtmlText
