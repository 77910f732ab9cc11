// Generated texts of every script with runs pasted from legacy pages: the decoding keeps what was
// UTF-8 apart from the pasted runs as written, never throws, always makes UTF-8, and converts
// each byte a bounded number of times however the text is mixed.
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <string>
#include <utility>
#include <vector>

#include "encoded_text.h"
#include "platform/text.h"
#include "sources/mixed_utf8_text.h"
#include "sources/text_conversion.h"
#include "sources/text_decoding.h"
#include "support/property_check.h"

namespace vask {
namespace {

// Words a UTF-8 text writes: letters of many scripts, signs, symbols, arrows and emoji, and
// words with them.
const std::vector<std::string>& ownWords() {
    static const std::vector<std::string> kWords = {
        "Склад",  "влажность", "норма",   "Київ",    "двері", "Отговорник", "Јовановић", "מחסן",
        "תקין",   "Ελλάδα",    "café",    "Grüße",   "été",   "mañana",     "łódź",      "日本語",
        "説明文", "한국어",    "ภาษา",    "العربية", "№",     "−3",         "°C",        "≈",
        "→",      "↑",         "✓",       "✔",       "👍",     "😀",          "€5",        "±2",
        "№5",     "−18°C",     "✓готово", "👍Привет", "→next", "x²",         "…",         "«да»",
        "plain",  "42",        "a-b",     "—",       "’",     "½",          "©",         "™"};
    return kWords;
}

// Words pasted from a page, with the page.
const std::vector<std::pair<std::string, const char*>>& pastedWords() {
    static const std::vector<std::pair<std::string, const char*>> kWords = {
        {"Пётр", "windows-1251"},     {"Сидоренко", "ibm-866"},   {"Иванов", "x-mac-cyrillic"},
        {"Смирнов", "KOI8-R"},        {"ישראלי", "windows-1255"}, {"répertoire", "windows-1252"},
        {"ostatnią", "windows-1250"}, {"Ελλάδα", "windows-1253"}, {"貼り付け", "Shift_JIS"},
        {"中文說明", "Big5"},         {"建国路", "GBK"},          {"붙여넣은", "windows-949"},
        {"บรรทัด", "windows-874"},     {"только", "ibm-866"},      {"Größe", "ibm-850"},
        {"Straße", "macintosh"}};
    return kWords;
}

// The tokens of a text between ASCII spaces and line breaks.
std::vector<std::string> tokens(std::string_view text) {
    std::vector<std::string> out;
    std::string token;
    for (const char c : text) {
        if (c == ' ' || c == '\n') {
            out.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    out.push_back(token);
    return out;
}

TEST(TextDecodingPropertyTest, WhatAPastedRunDoesNotTouchStaysAsWritten) {
    test::checkProperty("TextDecodingPropertyTest/SeparatedUtf8StaysAsWritten", 300, 60, [] {
        const auto own = *rc::gen::suchThat(
            rc::gen::container<std::vector<std::string>>(rc::gen::elementOf(ownWords())),
            [](const std::vector<std::string>& words) { return words.size() >= 2; });
        const auto pastes = *rc::gen::nonEmpty(rc::gen::container<std::vector<std::size_t>>(
            rc::gen::inRange<std::size_t>(0, pastedWords().size())));
        std::vector<std::string> words = own;
        std::vector<bool> pasted(words.size(), false);
        for (const auto index : pastes) {
            const auto at = *rc::gen::inRange<std::size_t>(0, words.size() + 1);
            const auto& [word, page] = pastedWords()[index];
            words.insert(words.begin() + static_cast<std::ptrdiff_t>(at),
                         test::encodedAs(word, page));
            pasted.insert(pasted.begin() + static_cast<std::ptrdiff_t>(at), true);
        }
        std::string bytes;
        for (std::size_t i = 0; i < words.size(); ++i) {
            bytes += words[i];
            if (i + 1 < words.size()) {
                bytes += *rc::gen::element(' ', '\n');
            }
        }
        RC_PRE(decoding::isMostlyUtf8(bytes));
        std::string encoding;
        const auto text = TextDecoding::detected(bytes, &encoding);
        RC_ASSERT(text.has_value());
        RC_ASSERT(encoding == "UTF-8");
        const auto read = tokens(*text);
        RC_ASSERT(read.size() == words.size());
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (!pasted[i]) {
                RC_ASSERT(read[i] == words[i]);
            }
        }
    });
}

TEST(TextDecodingPropertyTest, AnyBytesDecodeToUtf8WithoutThrowing) {
    test::checkProperty("TextDecodingPropertyTest/AnyBytesDecodeToUtf8", 500, 200, [] {
        // Bytes of any value, or UTF-8 words and pasted words cut and joined anyhow.
        std::string bytes;
        if (*rc::gen::arbitrary<bool>()) {
            bytes = *rc::gen::arbitrary<std::string>();
        } else {
            const auto parts = *rc::gen::container<std::vector<std::string>>(
                rc::gen::oneOf(rc::gen::elementOf(ownWords()),
                               rc::gen::map(rc::gen::elementOf(pastedWords()),
                                            [](const std::pair<std::string, const char*>& word) {
                                                return test::encodedAs(word.first, word.second);
                                            }),
                               rc::gen::element<std::string>(" ", "\n", "\xEF\xBB\xBF", "\xFF\xFE",
                                                             "\x83", "\x1B$B")));
            for (const auto& part : parts) {
                bytes += part;
            }
            bytes = bytes.substr(0, *rc::gen::inRange<std::size_t>(0, bytes.size() + 1));
        }
        std::string encoding;
        const auto text = TextDecoding::detected(bytes, &encoding);
        // (Whole, as RC_ASSERT takes "||" apart and evaluates both sides.)
        const bool textIsUtf8 = !text || text::isValidUtf8(*text);
        RC_ASSERT(textIsUtf8);
        const auto plain = TextDecoding::plainText(bytes);
        const bool plainIsUtf8 = !plain || text::isValidUtf8(*plain);
        RC_ASSERT(plainIsUtf8);
    });
}

// The bytes converted to decode a text, against its size: a pasted run is converted a bounded
// number of times however long it grows, and the guess of its page reads a sample of bounded
// size in a bounded number of pages.
TEST(TextDecodingPropertyTest, EachByteIsConvertedABoundedNumberOfTimes) {
    constexpr std::uint64_t kConversionsForEachByte = 40;
    constexpr std::uint64_t kGuessBytes = std::uint64_t{8} * 1024 * 1024;
    test::checkProperty("TextDecodingPropertyTest/BoundedConversions", 40, 100, [] {
        const std::string own = "これは日本語の説明文です。文字コードを試験します。\n";
        const auto line = *rc::gen::elementOf(std::vector<std::pair<std::string, const char*>>{
            {"貼り付けた行はシフト符号で保存されました、ソース表示", "Shift_JIS"},
            {"中古英語是英語的一個歷史階段，許功蓋", "Big5"},
            {"建国路的商店都关门了，请明天再来", "GBK"},
            {"Эта строка вставлена из файла DOS, только она", "ibm-866"},
            {"déjà été créé à l’école", "windows-1252"}});
        const auto pasted = test::encodedAs(line.first, line.second);
        const auto repeats = *rc::gen::inRange<std::size_t>(1, 3000);
        std::string bytes;
        for (std::size_t i = 0; i < 1 + repeats; ++i) {
            bytes += own;
        }
        for (std::size_t i = 0; i < repeats; ++i) {
            bytes += pasted;
        }
        bytes += "\n" + own;
        const auto before = decoding::convertedBytes();
        const auto text = TextDecoding::detected(bytes);
        const auto converted = decoding::convertedBytes() - before;
        RC_ASSERT(text.has_value());
        RC_TAG(bytes.size() / 16384);
        RC_ASSERT(converted <= kConversionsForEachByte * bytes.size() + kGuessBytes);
    });
}

}  // namespace
}  // namespace vask
