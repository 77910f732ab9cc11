#include "sources/list_number_format.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

#include "sources/text_decoding.h"

namespace vask {
namespace {

std::string fromCharacter(char32_t c) {
    std::string out;
    TextDecoding::appendUtf8(out, c);
    return out;
}

// A letter of `alphabet` repeated once more for each round past its last, as Word counts past
// "z": 27 is "aa".
std::string alphabetic(long count, std::u32string_view alphabet) {
    constexpr long kMostRepeats = 30;
    const auto size = static_cast<long>(alphabet.size());
    if (count < 1 || (count - 1) / size >= kMostRepeats) {
        return std::to_string(count);
    }
    const auto letter = fromCharacter(alphabet[static_cast<std::size_t>((count - 1) % size)]);
    std::string out;
    for (long i = 0; i <= (count - 1) / size; ++i) {
        out += letter;
    }
    return out;
}

// Letters counted on past the last as digits are ("z", "aa", "ab"): the count in bijective base
// of the alphabet's size. The letters after the first are taken from `rest` (LibreOffice's
// capital Russian letters go on in small ones, "Аа").
std::string lettersCounted(long count, std::u32string_view first, std::u32string_view rest) {
    constexpr std::size_t kMostLetters = 30;
    if (count < 1) {
        return std::to_string(count);
    }
    const auto size = static_cast<long>(first.size());
    std::u32string letters;
    for (auto left = count; left > 0 && letters.size() <= kMostLetters; left = (left - 1) / size) {
        letters.push_back(static_cast<char32_t>((left - 1) % size));
    }
    std::string out;
    for (auto at = letters.size(); at-- > 0;) {
        const auto& alphabet = at + 1 == letters.size() ? first : rest;
        TextDecoding::appendUtf8(out, alphabet[letters[at]]);
    }
    return out;
}

// A letter repeated once more for each round past the last, its first from `first` and the
// repeats from `rest`.
std::string repeated(long count, std::u32string_view first, std::u32string_view rest) {
    if (first == rest) {
        return alphabetic(count, first);
    }
    const auto once = alphabetic(count, first);
    const auto size = static_cast<long>(first.size());
    if (count < 1 || once.empty() || (once[0] >= '0' && once[0] <= '9')) {
        return once;
    }
    const auto index = static_cast<std::size_t>((count - 1) % size);
    std::string out;
    TextDecoding::appendUtf8(out, first[index]);
    for (long i = 0; i < (count - 1) / size; ++i) {
        TextDecoding::appendUtf8(out, rest[index]);
    }
    return out;
}

std::string roman(long count, bool upper) {
    if (count < 1 || count > 3999) {
        return std::to_string(count);
    }
    static constexpr std::pair<long, std::string_view> kNumerals[] = {
        {1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
        {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"}};
    std::string out;
    for (const auto& [value, numeral] : kNumerals) {
        for (; count >= value; count -= value) {
            out += numeral;
        }
    }
    if (upper) {
        std::transform(out.begin(), out.end(), out.begin(),
                       [](char c) { return static_cast<char>(c - 'a' + 'A'); });
    }
    return out;
}

std::string ordinalSuffix(long count) {
    const auto lastTwo = count % 100;
    if (lastTwo >= 11 && lastTwo <= 13) {
        return "th";
    }
    switch (count % 10) {
        case 1:
            return "st";
        case 2:
            return "nd";
        case 3:
            return "rd";
        default:
            return "th";
    }
}

constexpr std::array<std::string_view, 20> kOnes = {
    "zero",     "one",     "two",     "three",     "four",     "five",    "six",
    "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",  "thirteen",
    "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
constexpr std::array<std::string_view, 10> kTens = {
    "", "", "twenty", "thirty", "forty", "fifty", "sixty", "seventy", "eighty", "ninety"};

// A count below a million in English words ("one hundred twenty-three").
std::string words(long count) {
    std::string out;
    const auto append = [&](std::string_view word) {
        if (!out.empty() && out.back() != '-') {
            out += ' ';
        }
        out += word;
    };
    if (count >= 1000) {
        append(words(count / 1000));
        append("thousand");
        count %= 1000;
        if (count == 0) {
            return out;
        }
    }
    if (count >= 100) {
        append(kOnes[static_cast<std::size_t>(count / 100)]);
        append("hundred");
        count %= 100;
        if (count == 0) {
            return out;
        }
    }
    if (count >= 20) {
        append(kTens[static_cast<std::size_t>(count / 10)]);
        if (count % 10 != 0) {
            out += '-';
            out += kOnes[static_cast<std::size_t>(count % 10)];
        }
        return out;
    }
    append(kOnes[static_cast<std::size_t>(count)]);
    return out;
}

// The ordinal of spelled-out words: the last word's ("twenty-first").
std::string ordinalWords(std::string text) {
    static constexpr std::pair<std::string_view, std::string_view> kIrregular[] = {
        {"one", "first"},    {"two", "second"}, {"three", "third"},   {"five", "fifth"},
        {"eight", "eighth"}, {"nine", "ninth"}, {"twelve", "twelfth"}};
    for (const auto& [cardinal, ordinal] : kIrregular) {
        if (text.ends_with(cardinal)) {
            return text.substr(0, text.size() - cardinal.size()) + std::string(ordinal);
        }
    }
    if (text.ends_with('y')) {
        text.pop_back();
        return text + "ieth";
    }
    return text + "th";
}

std::string capitalised(std::string text) {
    if (!text.empty()) {
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    }
    return text;
}

// How a CJK counting format writes numbers: its digits 1 to 9, its signs for ten, hundred and
// thousand, its zero between the digits ("一百零一"), and whether "一" is written before
// units ("一百", though ten leads as "十") or never ("百").
struct Counting {
    std::u32string_view digits;
    std::u32string_view units;
    char32_t zero;
    bool oneBeforeUnits;
};

constexpr Counting kChinese{U"一二三四五六七八九", U"十百千", U'零', true};
constexpr Counting kJapanese{U"一二三四五六七八九", U"十百千", 0, false};
constexpr Counting kKorean{U"일이삼사오육칠팔구", U"십백천", 0, false};

std::string counted(long count, const Counting& counting) {
    if (count < 1 || count > 9999) {
        return std::to_string(count);
    }
    std::u32string out;
    bool zeroPending = false;
    for (int place = 3; place >= 0; --place) {
        long power = 1;
        for (int i = 0; i < place; ++i) {
            power *= 10;
        }
        const auto digit = (count / power) % 10;
        if (digit == 0) {
            zeroPending = !out.empty();
            continue;
        }
        if (zeroPending && counting.zero != 0) {
            out += counting.zero;
        }
        zeroPending = false;
        if (place == 0 || digit != 1 || (counting.oneBeforeUnits && !(place == 1 && out.empty()))) {
            out += counting.digits[static_cast<std::size_t>(digit - 1)];
        }
        if (place > 0) {
            out += counting.units[static_cast<std::size_t>(place - 1)];
        }
    }
    std::string utf8;
    for (const auto c : out) {
        TextDecoding::appendUtf8(utf8, c);
    }
    return utf8;
}

// Digit by digit in ideographs ("一〇" for 10).
std::string ideographDigits(long count) {
    constexpr std::u32string_view kDigits = U"〇一二三四五六七八九";
    std::string out;
    for (const char digit : std::to_string(count)) {
        if (digit >= '0' && digit <= '9') {
            TextDecoding::appendUtf8(out, kDigits[static_cast<std::size_t>(digit - '0')]);
        } else {
            out += digit;
        }
    }
    return out;
}

// Hebrew numerals below a thousand: letters added up ("קכג"), with 15 and 16 written "טו" and
// "טז" as they are read.
std::string hebrewNumerals(long count) {
    if (count < 1 || count > 999) {
        return std::to_string(count);
    }
    constexpr std::u32string_view kUnits = U"אבגדהוזחט";
    constexpr std::u32string_view kTensLetters = U"יכלמנסעפצ";
    constexpr std::u32string_view kHundreds = U"קרשת";
    std::u32string out;
    auto hundreds = count / 100;
    for (; hundreds > 4; hundreds -= 4) {
        out += kHundreds[3];
    }
    if (hundreds > 0) {
        out += kHundreds[static_cast<std::size_t>(hundreds - 1)];
    }
    const auto rest = count % 100;
    if (rest == 15 || rest == 16) {
        out += U'ט';
        out += rest == 15 ? U'ו' : U'ז';
    } else {
        if (rest >= 10) {
            out += kTensLetters[static_cast<std::size_t>(rest / 10 - 1)];
        }
        if (rest % 10 != 0) {
            out += kUnits[static_cast<std::size_t>(rest % 10 - 1)];
        }
    }
    std::string utf8;
    for (const auto c : out) {
        TextDecoding::appendUtf8(utf8, c);
    }
    return utf8;
}

// One character of a run of enclosed digits: `first` stands for 1 and `last` for `last - first
// + 1`; past it, plain digits.
std::string enclosed(long count, char32_t first, long last) {
    if (count < 1 || count > last) {
        return std::to_string(count);
    }
    return fromCharacter(first + static_cast<char32_t>(count - 1));
}

std::string circled(long count) {
    if (count == 0) {
        return fromCharacter(U'⓪');
    }
    if (count >= 21 && count <= 35) {
        return fromCharacter(U'㉑' + static_cast<char32_t>(count - 21));
    }
    if (count >= 36 && count <= 50) {
        return fromCharacter(U'㊱' + static_cast<char32_t>(count - 36));
    }
    return enclosed(count, U'①', 20);
}

// The count's decimal digits written with those of another script, whose zero is `zero`
// (full-width "２", Arabic-Indic "٢").
std::string digitsFrom(long count, char32_t zero) {
    std::string out;
    for (const char digit : std::to_string(count)) {
        TextDecoding::appendUtf8(out, digit >= '0' && digit <= '9'
                                          ? zero + static_cast<char32_t>(digit - '0')
                                          : static_cast<char32_t>(digit));
    }
    return out;
}

}  // namespace

std::string ListNumberFormat::formatted(long count, std::string_view format) {
    constexpr std::u32string_view kRussian = U"абвгдежзиклмнопрстуфхцчшщэюя";
    constexpr std::u32string_view kRussianUpper = U"АБВГДЕЖЗИКЛМНОПРСТУФХЦЧШЩЭЮЯ";
    constexpr long kMostWords = 999'999;
    // LibreOffice's Russian alphabets, with "ы" and without "ъ", "ь", "ё" and "й".
    constexpr std::u32string_view kRussianOdf = U"абвгдежзиклмнопрстуфхцчшщыэюя";
    constexpr std::u32string_view kRussianUpperOdf = U"АБВГДЕЖЗИКЛМНОПРСТУФХЦЧШЩЫЭЮЯ";
    constexpr std::u32string_view kLatin = U"abcdefghijklmnopqrstuvwxyz";
    constexpr std::u32string_view kLatinUpper = U"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    constexpr std::u32string_view kHebrew = U"אבגדהוזחטיכלמנסעפצקרשת";
    // Without the final sigma, as browsers count.
    constexpr std::u32string_view kGreek = U"αβγδεζηθικλμνξοπρστυφχψω";
    if (format == "lowerAlpha" || format == "upperAlpha") {
        const auto alphabet = format == "lowerAlpha" ? kLatin : kLatinUpper;
        return lettersCounted(count, alphabet, alphabet);
    }
    if (format == "lowerGreek") {
        return lettersCounted(count, kGreek, kGreek);
    }
    if (format == "hebrewAlpha") {
        return lettersCounted(count, kHebrew, kHebrew);
    }
    if (format == "russianLowerAlpha" || format == "russianUpperAlpha") {
        return lettersCounted(
            count, format == "russianLowerAlpha" ? kRussianOdf : kRussianUpperOdf, kRussianOdf);
    }
    if (format == "russianLowerSync" || format == "russianUpperSync") {
        return repeated(count, format == "russianLowerSync" ? kRussianOdf : kRussianUpperOdf,
                        kRussianOdf);
    }
    if (format == "lowerLetter" || format == "upperLetter") {
        return alphabetic(count, format == "lowerLetter" ? kLatin : kLatinUpper);
    }
    if (format == "lowerRoman" || format == "upperRoman") {
        return roman(count, format == "upperRoman");
    }
    if (format == "decimalZero" && count >= 0 && count < 10) {
        return "0" + std::to_string(count);
    }
    if (format == "ordinal" && count >= 0) {
        return std::to_string(count) + ordinalSuffix(count);
    }
    if ((format == "cardinalText" || format == "ordinalText") && count >= 0 &&
        count <= kMostWords) {
        const auto cardinal = words(count);
        return capitalised(format == "cardinalText" ? cardinal : ordinalWords(cardinal));
    }
    if (format == "chineseCounting" || format == "chineseCountingThousand" ||
        format == "taiwaneseCounting" || format == "taiwaneseCountingThousand") {
        return counted(count, kChinese);
    }
    if (format == "japaneseCounting") {
        return counted(count, kJapanese);
    }
    if (format == "koreanCounting") {
        return counted(count, kKorean);
    }
    if ((format == "ideographDigital" || format == "taiwaneseDigital" ||
         format == "koreanDigital2") &&
        count >= 0) {
        return ideographDigits(count);
    }
    if (format == "hebrew1") {
        return hebrewNumerals(count);
    }
    if (format == "hebrew2") {
        return alphabetic(count, kHebrew);
    }
    if (format == "russianLower" || format == "russianUpper") {
        return alphabetic(count, format == "russianLower" ? kRussian : kRussianUpper);
    }
    if (format == "decimalEnclosedCircle" || format == "decimalEnclosedCircleChinese") {
        return circled(count);
    }
    if (format == "decimalEnclosedParen") {
        return enclosed(count, U'⑴', 20);
    }
    if (format == "decimalEnclosedFullstop") {
        return enclosed(count, U'⒈', 20);
    }
    if (format == "decimalFullWidth" || format == "decimalFullWidth2") {
        return digitsFrom(count, U'０');
    }
    if (format == "arabicIndic") {
        return digitsFrom(count, U'\u0660');
    }
    return std::to_string(count);
}

char32_t ListNumberFormat::symbolFontCharacter(char32_t c, std::string_view font) {
    if ((font != "Symbol" && font != "Wingdings") || c < 0xF020 || c > 0xF0FF) {
        return c;
    }
    const auto code = static_cast<unsigned char>(c - 0xF000);
    return font == "Symbol" ? TextDecoding::symbolFontCharacter(code)
                            : TextDecoding::wingdingsCharacter(code);
}

std::string ListNumberFormat::symbolFontText(std::string_view text, std::string_view font) {
    if (font != "Symbol" && font != "Wingdings") {
        return std::string(text);
    }
    std::string out;
    int32_t at = 0;
    const auto length = static_cast<int32_t>(text.size());
    while (at < length) {
        UChar32 c = 0;
        U8_NEXT(text.data(), at, length, c);
        TextDecoding::appendUtf8(
            out, c < 0 ? U'\uFFFD' : symbolFontCharacter(static_cast<char32_t>(c), font));
    }
    return out;
}

}  // namespace vask
