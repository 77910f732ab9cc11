#pragma once

#include <string>
#include <string_view>

// How word processors and web pages write the number of a list item or heading: the formats a
// .docx level names (w:numFmt), which the other readers' formats are translated to.
namespace vask::ListNumberFormat {

// `count` as the format writes it: "decimal", "lowerLetter" and "upperLetter" ("aa" after "z"),
// "lowerRoman" and "upperRoman", "decimalZero", "ordinal" ("2nd"), "cardinalText" ("Two"),
// "ordinalText" ("Second"), the CJK counting and digit formats ("十二", "一二"), "hebrew1"
// (numerals) and "hebrew2" (letters), "russianLower" and "russianUpper", the enclosed and
// full-width digits ("②", "⑵", "⒉", "２"). Beside Word's, the Arabic-Indic digits
// "arabicIndic" ("١٢"), and the letters that count on past the last as digits do ("aa", "ab",
// as browsers and .odt lists without letter sync count): "lowerAlpha" and "upperAlpha",
// "lowerGreek" ("α" to "ω", then "αα"), "hebrewAlpha", and LibreOffice's Russian letters,
// "russianLowerAlpha" ("аа", "аб") and "russianUpperAlpha" ("Аа", "Аб"), with their repeating
// forms "russianLowerSync" ("аа", "бб") and "russianUpperSync" ("Аа", "Бб"). A count a format
// cannot write (none below 1 has a letter), and any format not named, reads in decimal digits.
std::string formatted(long count, std::string_view format);

// A bullet as the font it is written in draws it: the glyphs of the Symbol and Wingdings fonts
// sit at U+F020 to U+F0FF, where Word, LibreOffice and WordPad keep them ("\uF0B7" is "•" in
// Symbol, "\uF0A7" "▪" in Wingdings); other fonts' text, and other characters, as they are.
std::string symbolFontText(std::string_view text, std::string_view font);

// The character of one such glyph, or `c` itself.
char32_t symbolFontCharacter(char32_t c, std::string_view font);

}  // namespace vask::ListNumberFormat
