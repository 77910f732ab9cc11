#include "sources/decoding/text_characters.h"

namespace vask::decoding {

bool isAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isLetter(UChar32 c) {
    return u_isalpha(c) != 0;
}

bool isMark(UChar32 c) {
    const auto type = u_charType(c);
    return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK;
}

UScriptCode letterScript(UChar32 c) {
    UErrorCode status = U_ZERO_ERROR;
    const auto script = uscript_getScript(c, &status);
    if ((script == USCRIPT_COMMON || script == USCRIPT_INHERITED) &&
        (uscript_hasScript(c, USCRIPT_KATAKANA) != 0 ||
         uscript_hasScript(c, USCRIPT_HIRAGANA) != 0)) {
        return USCRIPT_KATAKANA;
    }
    return script;
}

UScriptCode scriptOf(UChar32 c) {
    const auto script = letterScript(c);
    return script == USCRIPT_HIRAGANA || script == USCRIPT_KATAKANA || script == USCRIPT_HANGUL
               ? USCRIPT_HAN
               : script;
}

bool isPartOfWord(UChar32 c) {
    return isLetter(c) || u_isdigit(c) != 0 || isMark(c);
}

// An apostrophe, a middle dot (Catalan "l·l"), a non-breaking or soft hyphen.
bool joinsWords(UChar32 c) {
    return c == 0x2019 || c == 0x00B7 || c == 0x2011 || c == 0x00AD;
}

bool isWrittenSymbol(UChar32 c) {
    return c == 0x00B0 || c == 0x00B1 || c == 0x00D7 || c == 0x00F7 || c == 0x00A9 || c == 0x00AE ||
           c == 0x2122 || c == 0x00A7;
}

std::pair<UChar32, UChar32> characterAt(std::string_view utf8, int32_t& at) {
    const auto here = utf8CharacterAt(utf8, static_cast<std::size_t>(at));
    at += static_cast<int32_t>(here.length);
    UChar32 next = ' ';
    if (static_cast<std::size_t>(at) < utf8.size()) {
        next = utf8CharacterAt(utf8, static_cast<std::size_t>(at)).c;
    }
    return {here.c, next};
}

}  // namespace vask::decoding
