#!/usr/bin/env python3
"""Writes the letter statistics the legacy encoding guess weighs readings by
(src/sources/decoding/legacy_letter_costs.inc): for each language of the encoding corpus written in a
code page of one byte to a character, a model of which character follows which (capitals as
small letters, ASCII letters as themselves, any other ASCII as a space): what each pair with a
character above ASCII in it costs, -log2 of the chance of its second character after its first
(the pair's share of what follows the first, mixed with the second's share of all characters),
in quarter bits; what a character costs after one it was never seen after; and for each such
code page, the languages written in it. The statistics are taken from the corpus itself
(tests/data/encoding-corpus: its catalogue lines, and the notes, prices and contact lists
corpus.py writes), so run this again after corpus.py.

Usage: letter_costs.py CORPUS_FOLDER OUTPUT
"""

import collections
import glob
import math
import os
import sys
import unicodedata

# The pages of one byte to a character the guess weighs, and the languages written in each.
WESTERN = ["ca", "da", "de", "en", "es", "fi", "fr", "is", "it", "nb", "nl", "pt", "sv"]
CENTRAL = ["cs", "hr", "hu", "pl", "ro", "sk", "sl"]
CYRILLIC = ["bg", "ru", "uk"]
BALTIC = ["et", "lt", "lv"]
PAGES = {
    "windows-1252": WESTERN,
    "ISO-8859-15": WESTERN + ["et"],
    "ibm-850": WESTERN,
    "macintosh": WESTERN,
    "windows-1250": CENTRAL,
    "ISO-8859-2": CENTRAL,
    "ISO-8859-16": CENTRAL,
    "ibm-852": CENTRAL,
    "x-mac-centraleurroman": CENTRAL,
    "windows-1251": CYRILLIC,
    "KOI8-R": CYRILLIC,
    "KOI8-U": CYRILLIC,
    "ibm-866": CYRILLIC,
    "ISO-8859-5": CYRILLIC,
    "x-mac-cyrillic": CYRILLIC,
    "windows-1253": ["el"],
    "ISO-8859-7": ["el"],
    "windows-1257": BALTIC,
    "ISO-8859-13": BALTIC,
    "ISO-8859-4": BALTIC,
    "windows-1254": ["tr"],
    "ISO-8859-3": ["eo"],
    "windows-874": ["th"],
}
# Quarter bits.
SCALE = 4
# How much of a character's chance after another is that pair's share, and how much the
# character's own share of all characters.
PAIR_WEIGHT = 0.7


def folded(c):
    if ord(c) > 127:
        small = c.lower()
        return small if len(small) == 1 else c
    return c.lower() if c.isalpha() else " "


def cost(chance):
    return round(-math.log2(chance) * SCALE)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    languages = sorted({language for pages in PAGES.values() for language in pages})
    singles = {language: collections.Counter() for language in languages}
    pairs = {language: collections.Counter() for language in languages}
    for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.txt"))):
        language = os.path.basename(path)[:-4].split("-")[0]
        if language not in singles:
            continue
        text = unicodedata.normalize("NFC", open(path, encoding="utf-8").read())
        if language == "ro":
            # Romanian in the pages without its letters with a comma below is written with their
            # cedilla forms.
            text += text.translate(str.maketrans("șțȘȚ", "şţŞŢ"))
        for line in text.split("\n"):
            characters = [" "] + [folded(c) for c in line] + [" "]
            singles[language].update(characters[1:])
            pairs[language].update(zip(characters, characters[1:]))
    with open(sys.argv[2], "w", encoding="utf-8") as out:
        out.write("// Written by tools/encoding-comparison/letter_costs.py from the encoding corpus: "
                  "do not edit.\n")
        for language in languages:
            total = sum(singles[language].values())
            after = collections.Counter()
            for (first, _), count in pairs[language].items():
                after[first] += count
            # A character never seen costs as one seen once in eight times the corpus.
            unseen = cost((1 - PAIR_WEIGHT) / (8 * total))
            alone = [f"{{0x{ord(c):X}, {cost((1 - PAIR_WEIGHT) * n / total)}}}"
                     for c, n in sorted(singles[language].items())]
            paired = []
            for (first, second), count in sorted(pairs[language].items()):
                if ord(first) <= 127 and ord(second) <= 127:
                    continue
                chance = (PAIR_WEIGHT * count / after[first] +
                          (1 - PAIR_WEIGHT) * singles[language][second] / total)
                paired.append(f"{{0x{ord(first):X}, 0x{ord(second):X}, {cost(chance)}}}")
            out.write(f"constexpr auto kLetterCosts_{language} = std::to_array<LetterCost>({{\n")
            for i in range(0, len(alone), 7):
                out.write("    " + ", ".join(alone[i:i + 7]) + ",\n")
            out.write("});\n")
            out.write(f"constexpr auto kPairCosts_{language} = std::to_array<PairCost>({{\n")
            for i in range(0, len(paired), 5):
                out.write("    " + ", ".join(paired[i:i + 5]) + ",\n")
            out.write("});\n")
            out.write(f"constexpr int kUnseenCost_{language} = {unseen};\n")
        out.write("\nconstexpr auto kLanguageLetterCosts = std::to_array<LanguageLetterCosts>({\n")
        for language in languages:
            out.write(f"    {{\"{language}\", kLetterCosts_{language}, kPairCosts_{language}, "
                      f"kUnseenCost_{language}}},\n")
        out.write("});\n\n")
        out.write("constexpr auto kPageLanguages = std::to_array<PageLanguages>({\n")
        for page, written in PAGES.items():
            names = ", ".join(f'"{language}"' for language in written)
            out.write(f"    {{\"{page}\", {{{names}}}}},\n")
        out.write("});\n")


if __name__ == "__main__":
    main()
