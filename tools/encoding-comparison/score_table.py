#!/usr/bin/env python3
"""Prints the scores of the encoding corpus (tests/data/encoding-corpus/scores.tsv, or the file
VASK_ENCODING_CORPUS_SCORES names when the corpus test runs) as the tables of docs/testing.md:
the files each reading gets right by mix, and per language (or kind of text) and page the cells
of each mix at the sizes the row names, Vask's count with bare uchardet's after the slash. With a second
file (the same scores of an earlier build), its totals are printed beside them.

Usage: score_table.py SCORES [EARLIER]
"""

import collections
import sys

MIXES = ["pure", "words", "quotes", "lines", "utf8-words", "utf8-lines", "utf8-sign-line", "stray",
         "words-signs", "quotes-signs", "lines-signs", "stray-signs"]
SIZES = ["50", "100", "200", "300", "2000", "20000"]


def read(path):
    cells = {}
    for line in open(path, encoding="utf-8"):
        if line.startswith("#") or not line.strip():
            continue
        language, page, size, mix, files, vask, uchardet = line.split()
        cells[(language, page, size, mix)] = (int(files), int(vask), int(uchardet))
    return cells


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    cells = read(sys.argv[1])
    earlier = read(sys.argv[2]) if len(sys.argv) == 3 else None
    print("| mix | files | " + ("earlier build | " if earlier else "") + "Vask | bare uchardet |")
    print("|---|---|" + ("---|" if earlier else "") + "---|---|")
    for mix in MIXES + ["all"]:
        chosen = [k for k in cells if mix in (k[3], "all")]
        files = sum(cells[k][0] for k in chosen)
        vask = sum(cells[k][1] for k in chosen)
        uchardet = sum(cells[k][2] for k in chosen)
        before = f"{sum(earlier[k][1] for k in chosen if k in earlier)} | " if earlier else ""
        print(f"| {mix} | {files} | {before}{vask} | {uchardet} |")
    print()
    print("| language | page | sizes | " + " | ".join(MIXES) + " |")
    print("|---|---|---|" + "---|" * len(MIXES))
    pairs = sorted({(k[0], k[1]) for k in cells})
    for language, page in pairs:
        sizes = [size for size in SIZES if any((language, page, size, mix) in cells
                                                for mix in MIXES)]
        row = []
        for mix in MIXES:
            found = [cells.get((language, page, size, mix)) for size in sizes]
            if not any(found):
                row.append("")
                continue
            vask = " ".join(str(s[1]) if s else "-" for s in found)
            uchardet = " ".join(str(s[2]) if s else "-" for s in found)
            row.append(f"{vask} / {uchardet}")
        print(f"| {language} | {page} | {' '.join(sizes)} | " + " | ".join(row) + " |")

if __name__ == "__main__":
    main()
