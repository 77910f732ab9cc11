#!/usr/bin/env python3
"""Writes the source texts of the encoding corpus: for each language, lines of everyday text taken
from Debian's message catalogues (/usr/share/locale/LANG/LC_MESSAGES, read with gettext's
msgunfmt) and translated manual pages (/usr/share/man/LANG), in a fixed order, as UTF-8, one
text a line, about 48 KB a language. (en.txt, everyday English notes with signs of units and
currencies, is written by hand: the catalogues hold no English of their own.)

The corpus test (tests/sources/text_decoding_corpus_test.cpp) builds its texts from these files
in every code page each language is written in, so the texts it scores do not change with the
packages installed; run this again only to change the source set.

Usage: corpus.py FOLDER
"""

import glob
import gzip
import os
import random
import re
import subprocess
import sys

LOCALE = "/usr/share/locale"
MAN = "/usr/share/man"
DOMAINS = ["coreutils", "glib20", "gtk30", "dpkg", "apt", "bash", "systemd", "tar", "grep",
           "shadow", "man-db", "util-linux", "sed", "findutils", "diffutils", "gettext-runtime"]
LANGUAGES = ["bg", "cs", "de", "el", "eo", "es", "et", "fi", "fr", "hr", "hu", "it", "ja", "ko",
             "lt", "lv", "pl", "pt", "ro", "ru", "sk", "sl", "sv", "th", "tr", "uk", "zh_CN",
             "zh_TW"]
SIZE = 48 * 1024


def catalogue_lines(language):
    found = []
    for domain in DOMAINS:
        path = f"{LOCALE}/{language}/LC_MESSAGES/{domain}.mo"
        if not os.path.exists(path):
            continue
        listing = subprocess.run(["msgunfmt", path], capture_output=True, encoding="utf-8",
                                 errors="replace").stdout
        for match in re.finditer(r'msgstr "((?:[^"\\]|\\.)*)"', listing):
            found.append(match.group(1))
    return found


def manual_lines(language):
    found = []
    for path in sorted(glob.glob(f"{MAN}/{language}/man*/*.gz")):
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as page:
            for line in page:
                if line.startswith((".", "'")):
                    continue
                line = re.sub(r"\\f[BIRP]|\\f\(..|\\&|\\\||\\e", "", line)
                found.append(line.replace("\\-", "-").strip())
    return found


def usable(text):
    # Everyday text: no formats, escapes or markup, and some letters above ASCII.
    return (20 <= len(text) <= 200 and "%" not in text and "\\" not in text and "<" not in text
            and "\ufffd" not in text and "_" not in text and any(ord(c) > 127 for c in text))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for language in LANGUAGES:
        lines = sorted({t for t in catalogue_lines(language) + manual_lines(language) if usable(t)})
        random.Random(language).shuffle(lines)
        kept = []
        size = 0
        for line in lines:
            if size >= SIZE:
                break
            kept.append(line)
            size += len(line.encode()) + 1
        with open(os.path.join(folder, f"{language}.txt"), "w", encoding="utf-8") as out:
            out.write("\n".join(kept) + "\n")
        print(language, len(kept), size)


if __name__ == "__main__":
    main()
