#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sources/decoding/letter_statistics.h"
#include "sources/decoding/text_characters.h"

// The guess of the legacy encoding of text that is no Unicode: uchardet's detector and the rules
// of our own that read its bytes better, weighed by the faults a wrong page makes in a reading
// and by the letter statistics of the encoding corpus (legacy_letter_costs.inc).
// The mixed UTF-8 reader and the Unicode front end weigh their readings by the same measures.
namespace vask::decoding {

// How plausible a reading is: letters count for it, what a wrong reading makes against it.
long plausibility(std::string_view utf8);

// What a wrong code page makes of text, counted in a reading of the bytes.
long readingFaults(std::string_view utf8);

// What reading the bytes as UTF-8 makes: characters above ASCII and the bytes they take, and
// ill-formed sequences (each read as one U+FFFD) and the bytes they take.
struct Utf8Reading {
    std::size_t characters = 0;
    std::size_t illFormed = 0;
    std::size_t wellFormedBytes = 0;
    std::size_t illFormedBytes = 0;
};

Utf8Reading readAsUtf8(std::string_view bytes);

// What the encoding is guessed from: 64 KB from the line of the first byte above ASCII.
std::string_view guessSample(std::string_view bytes);

// A sample read in an encoding, a character cut at its end left out.
std::optional<std::string> sampleText(std::string_view sample, const char* encoding);

bool holdsAnyByte(std::string_view bytes, std::string_view of);

// KOI8-U's Ukrainian letters ("є", "і", "ї", "ґ" and their capitals), line-drawing pieces in
// KOI8-R, which the detector does not tell KOI8-U from.
inline constexpr std::string_view kKoi8UkrainianLetters = "\xA4\xA6\xA7\xAD\xB4\xB6\xB7\xBD";

// The bytes 0x80 to 0x9F: controls in ISO-8859-13, the quotation marks and dashes of
// windows-1257, whose letters are ISO-8859-13's; the detector names the ISO page for both.
inline constexpr std::string_view kC1Bytes =
    "\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8D\x8E\x8F"
    "\x90\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9A\x9B\x9C\x9D\x9E\x9F";

// The code pages of Latin letters the detector finds: a reading in one of them with faults is
// weighed against the Western pages below.
inline constexpr auto kLatinPages = std::to_array<std::string_view>(
    {"windows-1250", "windows-1252", "windows-1254", "windows-1257", "ISO-8859-2", "ISO-8859-3",
     "ISO-8859-4", "ISO-8859-10", "ISO-8859-13", "ISO-8859-15", "ISO-8859-16", "ibm-852",
     "x-mac-centraleurroman"});

// Western text in the pages the detector does not know (DOS's cp850, Mac Roman), or in
// windows-1252 that it reads in a page of languages it knows (Icelandic as Baltic), Vietnamese
// in windows-1258, and Estonian and Finnish in ISO-8859-15, whose "š" and "ž" the detector reads
// as windows-1252's "¨" and "¸" ("Tšehhi" as "T¨ehhi"): in that order, the first with fewest
// faults.
inline constexpr auto kWesternPages = std::to_array<const char*>(
    {"windows-1252", "ibm-850", "macintosh", "windows-1258", "ISO-8859-15"});

template <std::size_t n>
bool isOneOf(std::string_view name, const std::array<std::string_view, n>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// What a legacy encoding is guessed from: the sample, and the part of it a reading's faults are
// counted in (the sample without the words pasted into it from UTF-8; the whole when it has
// none).
struct Sample {
    std::string_view bytes;
    std::string_view weighed;
};

// Whether every byte of the sample above ASCII reads in windows-1252 as a sign of a unit or a
// currency where such a sign stands.
bool holdsOnlyUnitSigns(std::string_view sample);

// Whether a page writes characters of more than one byte (Chinese, Japanese and Korean pages,
// whose second bytes may be ASCII).
bool isMultiByte(const char* page);

// The legacy encoding the sample is in (ICU's name); nothing when no page converts it.
const char* legacyEncoding(const Sample& weighed);

// The part of a sample that readings are weighed in: the sample without its words that are
// UTF-8 whole and the UTF-8 punctuation and spaces between words.
std::string weighedPart(std::string_view whole);

}  // namespace vask::decoding
