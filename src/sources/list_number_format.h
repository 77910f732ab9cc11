#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// How word processors and web pages write the number of a list item or heading, from one table
// of formats under the names each gives them: Word's (w:numFmt), LibreOffice's style:num-format
// ("1", "a", "i", "①, ②, ③, ...", "가, 나, 다, ...") and CSS's predefined list-style-types
// ("arabic-indic", "korean-hangul-formal", "hiragana").
namespace vask::ListNumberFormat {

// `count` as the format writes it: decimal digits of every script ("２", "٢", "२", "๒",
// "二〇"), letters ("b", "bb" after "z" under Word's "lowerLetter", "ab" under "lowerAlpha" and
// CSS's "lower-alpha"; Greek, Cyrillic, Hebrew, Arabic, Thai, Devanagari letters; kana in
// a-i-u-e-o and iroha order; Korean "가" and "ㄱ"), Roman, Hebrew, Armenian, Georgian and
// Ethiopic numerals, CJK counting ("十二", "壹拾贰", "일십", Korean "열하나"), the heavenly stems
// and earthly branches, enclosed digits ("②", "⑵", "⒉"), ordinals ("2nd") and words ("Two",
// "Second", "หนึ่ง"). Under Word's and LibreOffice's names a count below 1 reads in decimal digits,
// as LibreOffice shows a list that starts at 0 ("0", not "00" or "0th"); under CSS's, counts
// outside the style's range do. A format not named reads in decimal digits.
std::string formatted(long count, std::string_view format);

// The same in the language of the paragraph (a BCP 47 tag, "de-DE"): the counts Word spells out
// in words ("cardinalText", "ordinalText") in that language's words as a list counts ("Eins",
// "Zweite"), capitalised as the language writes a capital ("İki"), and ordinals ("ordinal") in
// its own form ("1er", "21:a", "21-й", "21ος"), as LibreOffice writes them: by ICU's rules, or
// by rules of our own where ICU has none or writes others (Polish, Czech and Ukrainian ordinal
// words, Czech counting words, Danish ordinal words, Russian, Ukrainian and Greek ordinal
// digits); ordinal digits for a language with no ordinal words; English where there are none,
// or for an empty tag.
std::string formatted(long count, std::string_view format, std::string_view language);

// The spelled-out number formatters this thread keeps: the most recently used, at most
// kMostFormatters however many languages documents name (a list cycling through as many
// languages makes each formatter once); and how many it has made.
inline constexpr std::size_t kMostFormatters = 32;
std::size_t keptFormatters();
std::size_t formattersMade();

// The CSS list-style-type `keyword` as the table names it (a view that outlives `keyword`), when
// it is one of the predefined counter styles the table writes.
std::optional<std::string_view> counterStyle(std::string_view keyword);

// What browsers write after a number of the CSS counter style `style`: "、" after CJK and kana
// numbers, "," after Korean ones, "/" after Ethiopic ones, else "." (without the space CSS adds,
// as a tab follows the marker).
std::string_view cssSuffix(std::string_view style);

// A bullet as the font it is written in draws it: the glyphs of the Symbol and Wingdings fonts
// sit at U+F020 to U+F0FF, where Word, LibreOffice and WordPad keep them ("\uF0B7" is "•" in
// Symbol, "\uF0A7" "▪" in Wingdings); other fonts' text, and other characters, as they are.
std::string symbolFontText(std::string_view text, std::string_view font);

// The character of one such glyph, or `c` itself.
char32_t symbolFontCharacter(char32_t c, std::string_view font);

}  // namespace vask::ListNumberFormat
