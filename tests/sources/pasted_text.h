#pragma once

#include <string>

#include "encoded_text.h"

// Mostly UTF-8 texts with one long run pasted from a legacy page, the worst a decoding meets:
// for the decoding's tests and benchmarks.
namespace vask::test {

enum class LongPaste {
    // UTF-8 Japanese with one line pasted from Shift_JIS, as long as the text around it.
    shiftJisLine,
    // One line without a space of UTF-8 letters and windows-1252 letters and quotation marks side
    // by side: one word to a walk that goes to its ends.
    mixedBytesLine,
    // Short words one after another, each a run that holds UTF-8 beside windows-1252 bytes: as
    // many runs to weigh as the text holds words.
    shortMixedWords,
};

// A text of about `size` bytes with one run of the kind pasted into it.
inline std::string longPastedText(std::size_t size, LongPaste kind) {
    std::string out;
    out.reserve(size + 256);
    if (kind == LongPaste::shiftJisLine) {
        const std::string own = "これは日本語の説明文です。文字コードを試験します。\n";
        const auto pasted =
            encodedAs("貼り付けた行はシフト符号で保存されました、ソース表示", "Shift_JIS");
        while (out.size() < size / 2) {
            out += own;
        }
        while (out.size() < size) {
            out += pasted;
        }
        out += "\n" + own;
        return out;
    }
    const std::string piece = kind == LongPaste::shortMixedWords ? "caf\xC3\xA9 Gr\xC3\xBC\xDF\xE9 "
                                                                 : "caf\xC3\xA9"
                                                                   "d\xE9j\xE0"
                                                                   "Gr\xC3\xBC\xC3\x9F"
                                                                   "e\x93x\x94";
    while (out.size() < size) {
        out += piece;
    }
    return out + "\n";
}

}  // namespace vask::test
