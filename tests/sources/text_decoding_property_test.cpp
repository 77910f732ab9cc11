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
#include "sources/decoding/mixed_utf8_text.h"
#include "sources/decoding/text_conversion.h"
#include "sources/decoding/text_decoding.h"
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
        const auto text = decoding::detected(bytes, &encoding);
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

// Lines of legacy text, with the pages they are written in: short notes as typed, of every page
// of two bytes to a character and of some of one byte.
struct LegacyLines {
    std::vector<std::string> lines;
    std::vector<const char*> pages;
};

const std::vector<LegacyLines>& legacyLines() {
    static const std::vector<LegacyLines> kLines = {
        {{"買い物：牛乳、卵、食パン、りんご三つ", "明日の朝九時までに届けてください。",
          "よろしくお願いします。", "会議は来週の水曜日に変更になりました。",
          "駅の東口で待っています。"},
         {"Shift_JIS", "EUC-JP"}},
        {{"购物清单：牛奶、鸡蛋、面包和三个苹果", "请在明天上午九点以前送到我家门口。",
          "谢谢你的帮助！", "会议改到下星期三下午两点。", "我在火车站东门等你。"},
         {"GBK", "GB18030"}},
        {{"購物清單：牛奶、雞蛋、麵包和三個蘋果", "請在明天上午九點以前送到我家門口。",
          "謝謝你的幫忙！", "會議改到下星期三下午兩點。", "我在火車站東門等你。"},
         {"Big5"}},
        {{"장보기 목록: 우유, 계란, 식빵, 사과 세 개", "내일 아침 아홉 시까지 배달해 주세요.",
          "감사합니다.", "회의는 다음 주 수요일로 바뀌었습니다.",
          "역 동쪽 출구에서 기다리고 있어요."},
         {"EUC-KR", "windows-949"}},
        {{"Купить молоко, хлеб и масло.", "Встреча в понедельник в девять часов утра.",
          "Ключи у соседа на первом этаже.", "Позвонить Ольге Петровне насчёт договора."},
         {"windows-1251", "KOI8-R"}},
    };
    return kLines;
}

// UTF-8 pasted into legacy text: signs, emoji, words of many scripts, a line.
const std::vector<std::string>& pastedUtf8() {
    static const std::vector<std::string> kPasted = {"→",         "👍",
                                                     "PS: 3 → 4", "ok… 12 € ≈ 13 $ ↑",
                                                     "✓",         "−3 °C",
                                                     "Müller",    "café",
                                                     "東京",      "日本語のメモ",
                                                     "한국어",    "Привет",
                                                     "Ελλάδα",    "№5",
                                                     "½",         "🎉🎉",
                                                     "«да»",      "—"};
    return kPasted;
}

// Legacy text in any page with any UTF-8 pasted into it, as lines of their own or as words
// between spaces in its lines: every legacy line reads as the page reads it, the parts of a line
// around a pasted word too.
TEST(TextDecodingPropertyTest, LegacyLinesWithPastedUtf8ReadInTheirPage) {
    test::checkProperty("TextDecodingPropertyTest/LegacyLinesWithPastedUtf8", 300, 60, [] {
        const auto& language = *rc::gen::elementOf(legacyLines());
        const auto* page = *rc::gen::elementOf(language.pages);
        const auto count = *rc::gen::inRange<std::size_t>(2, language.lines.size() + 1);
        const auto first = *rc::gen::inRange<std::size_t>(0, language.lines.size());
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < count; ++i) {
            lines.push_back(language.lines[(first + i) % language.lines.size()]);
        }
        // Each paste: the line it goes after or into, and where in the line (a character
        // boundary; the line's end, or a line of its own).
        const auto pastes =
            *rc::gen::resize(3, rc::gen::nonEmpty(rc::gen::container<std::vector<std::size_t>>(
                                    rc::gen::inRange<std::size_t>(0, pastedUtf8().size()))));
        std::vector<std::string> bytes(lines.size());
        std::vector<std::vector<std::string>> parts(lines.size());
        std::vector<std::vector<std::string>> linesAfter(lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            parts[i] = {lines[i]};
        }
        for (const auto paste : pastes) {
            const auto& utf8 = pastedUtf8()[paste];
            const auto line = *rc::gen::inRange<std::size_t>(0, lines.size());
            if (*rc::gen::arbitrary<bool>()) {
                linesAfter[line].push_back(utf8);
                continue;
            }
            // Into the line once, at a character boundary with three characters of its own on
            // either side, between spaces.
            auto& last = parts[line].back();
            std::vector<std::size_t> boundaries;
            for (std::size_t at = 1; at < last.size(); ++at) {
                if ((static_cast<unsigned char>(last[at]) & 0xC0) != 0x80) {
                    boundaries.push_back(at);
                }
            }
            if (parts[line].size() > 1 || boundaries.size() < 6) {
                linesAfter[line].push_back(utf8);
                continue;
            }
            boundaries.erase(boundaries.begin(), boundaries.begin() + 2);
            boundaries.resize(boundaries.size() - 3);
            const auto at = *rc::gen::elementOf(boundaries);
            const auto after = last.substr(at);
            last.resize(at);
            parts[line].push_back(utf8);
            parts[line].push_back(after);
        }
        std::string encoded;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            for (std::size_t k = 0; k < parts[i].size(); ++k) {
                const bool pasted = k % 2 == 1;
                encoded += pasted ? " " + parts[i][k] + " " : test::encodedAs(parts[i][k], page);
            }
            encoded += "\n";
            for (const auto& utf8 : linesAfter[i]) {
                encoded += utf8 + "\n";
            }
        }
        const auto text = decoding::detected(encoded);
        RC_ASSERT(text.has_value());
        // Each legacy line in its place, its parts around a pasted word as they were written.
        std::size_t at = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            for (std::size_t k = 0; k < parts[i].size(); k += 2) {
                const auto found = text->find(parts[i][k], at);
                RC_ASSERT(found != std::string::npos);
                RC_ASSERT(k == 0 || text->substr(at, found - at).find('\n') == std::string::npos);
                at = found + parts[i][k].size();
            }
            RC_ASSERT(text->substr(at, 1) == "\n");
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
        const auto text = decoding::detected(bytes, &encoding);
        // (Whole, as RC_ASSERT takes "||" apart and evaluates both sides.)
        const bool textIsUtf8 = !text || text::isValidUtf8(*text);
        RC_ASSERT(textIsUtf8);
        const auto plain = decoding::plainText(bytes);
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
        const auto text = decoding::detected(bytes);
        const auto converted = decoding::convertedBytes() - before;
        RC_ASSERT(text.has_value());
        RC_TAG(bytes.size() / 16384);
        RC_ASSERT(converted <= kConversionsForEachByte * bytes.size() + kGuessBytes);
    });
}

}  // namespace
}  // namespace vask
