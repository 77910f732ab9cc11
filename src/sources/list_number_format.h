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
// full-width digits ("②", "⑵", "⒉", "２"). A count a format cannot write (none below 1 has a
// letter), and any format not named, reads in decimal digits.
std::string formatted(long count, std::string_view format);

}  // namespace vask::ListNumberFormat
