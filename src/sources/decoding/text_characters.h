#pragma once

#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

// The characters of text as decoding weighs them: one walk over UTF-8 (a character or an
// ill-formed sequence at a time) and what a character is to a word, a script or a line of text.
// The guess of a legacy encoding, the mixed UTF-8 reader and the Unicode front end share them.
namespace vask::decoding {

// A character of UTF-8 as read at a place in the bytes: its code point, negative for an
// ill-formed sequence (the longest start of a character that the bytes hold, at least one byte,
// as ICU reads it), and how many bytes it takes.
struct Utf8Character {
    UChar32 c;
    std::size_t length;

    bool wellFormed() const { return c >= 0; }
};

// The character of UTF-8 that begins at `at` (below the size of the bytes).
inline Utf8Character utf8CharacterAt(std::string_view bytes, std::size_t at) {
    const auto byte = static_cast<unsigned char>(bytes[at]);
    if (byte < 0x80) {
        return {byte, 1};
    }
    // Read from the place itself, so a text past 2 GB reads as well as a short one.
    const auto rest = static_cast<int32_t>(std::min<std::size_t>(U8_MAX_LENGTH, bytes.size() - at));
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data() + at);
    int32_t length = 0;
    UChar32 c = 0;
    U8_NEXT(data, length, rest, c);
    return {c, static_cast<std::size_t>(length)};
}

// Calls `each(at, character)` with each character of the UTF-8 in turn, and each ill-formed
// sequence; `each` may return false to stop the walk (or return nothing to walk to the end).
template <typename Each>
void forEachUtf8Character(std::string_view bytes, Each&& each) {
    for (std::size_t at = 0; at < bytes.size();) {
        const auto character = utf8CharacterAt(bytes, at);
        if constexpr (std::is_same_v<decltype(each(at, character)), bool>) {
            if (!each(at, character)) {
                return;
            }
        } else {
            each(at, character);
        }
        at += character.length;
    }
}

bool isAscii(std::string_view bytes);

bool isLetter(UChar32 c);
bool isMark(UChar32 c);

// The script of a character; one of no script of its own that only kana write (the long-vowel
// mark "ー", the iteration marks) is katakana's.
UScriptCode letterScript(UChar32 c);

// The script of a letter, the scripts East Asian text writes side by side (Han, kana, Hangul)
// taken as one.
UScriptCode scriptOf(UChar32 c);

// Whether a character is part of the word beside it: a letter, a digit or a mark.
bool isPartOfWord(UChar32 c);

// Whether a character that is no letter may stand inside a word: an apostrophe, a middle dot,
// a non-breaking or soft hyphen.
bool joinsWords(UChar32 c);

// Whether a symbol is one text writes: degrees, plus-minus, times, division, copyright,
// registered, trade mark, section.
bool isWrittenSymbol(UChar32 c);

// The character at `at` (moved past it) and the one after it (a space at the end); a negative
// code point for an ill-formed sequence.
std::pair<UChar32, UChar32> characterAt(std::string_view utf8, int32_t& at);

}  // namespace vask::decoding
