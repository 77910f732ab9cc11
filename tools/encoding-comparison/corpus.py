#!/usr/bin/env python3
"""Writes everyday texts in the code pages their languages are still written in, each beside its
right reading (NAME.utf8), for encoding-comparison.

The texts are the translations in Debian's message catalogues (/usr/share/locale/LANG/LC_MESSAGES,
read with gettext's msgunfmt), taken in a fixed order, as five kinds of file: a note of one
message, a 2 KB text, a subtitle file, a CSV file and a 40 KB text. Besides them: UTF-8 texts with
words or rows pasted from a legacy code page, and UTF-8 rows with as many legacy rows after them.

Usage: corpus.py FOLDER
"""

import os
import random
import re
import subprocess
import sys

LOCALE = "/usr/share/locale"

# Each language: the catalogues its texts come from, and the code pages (Python's codec names)
# it is written in. Languages that share a page sit side by side.
LANGUAGES = {
    "eo": (["coreutils", "glib20", "gtk30", "dpkg", "bash"], ["iso-8859-3"]),
    "tr": (["coreutils", "glib20", "gtk30"], ["iso-8859-9", "cp1254", "iso-8859-3"]),
    "lt": (["coreutils", "glib20", "gtk30", "dpkg", "systemd"], ["iso-8859-13", "cp1257", "iso-8859-4"]),
    "lv": (["coreutils", "glib20", "gtk30", "dpkg"], ["iso-8859-13", "cp1257", "iso-8859-4"]),
    "et": (["coreutils", "glib20", "gtk30", "dpkg"], ["iso-8859-15", "cp1257", "iso-8859-13"]),
    "ro": (["coreutils", "glib20", "gtk30", "dpkg", "systemd"], ["iso-8859-16", "cp1250", "iso-8859-2"]),
    "pl": (["coreutils", "glib20", "gtk30", "dpkg"], ["iso-8859-2", "cp1250", "iso-8859-16"]),
    "hu": (["coreutils", "glib20", "gtk30", "dpkg"], ["iso-8859-2", "cp1250", "iso-8859-16"]),
    "hr": (["coreutils", "glib20", "gtk30"], ["iso-8859-2", "cp1250", "iso-8859-16"]),
    "sl": (["coreutils", "glib20", "gtk30"], ["iso-8859-2", "cp1250", "iso-8859-16"]),
    "cs": (["coreutils", "glib20", "gtk30"], ["iso-8859-2", "cp1250"]),
    "th": (["glib20", "gtk30", "dpkg", "apt"], ["cp874", "tis-620"]),
    "fr": (["coreutils", "glib20", "gtk30"], ["cp1252", "iso-8859-15", "iso-8859-16", "cp850", "mac-roman"]),
    "de": (["coreutils", "glib20", "gtk30"], ["cp1252", "iso-8859-15", "iso-8859-16", "cp850", "mac-roman"]),
    "it": (["coreutils", "glib20", "gtk30"], ["cp1252", "iso-8859-16", "cp850"]),
    "fi": (["coreutils", "glib20", "gtk30"], ["cp1252", "iso-8859-15"]),
    "ru": (["coreutils", "glib20", "gtk30"], ["cp1251", "koi8-r", "cp866", "iso-8859-5"]),
    "uk": (["coreutils", "glib20", "gtk30"], ["cp1251", "koi8-u"]),
    "el": (["coreutils", "glib20", "gtk30"], ["cp1253", "iso-8859-7"]),
    "ja": (["coreutils", "glib20", "gtk30"], ["shift_jis", "euc_jp"]),
    "zh_CN": (["coreutils", "glib20", "gtk30"], ["gb18030", "gbk"]),
    "zh_TW": (["coreutils", "glib20", "gtk30"], ["big5"]),
    "ko": (["coreutils", "glib20", "gtk30"], ["cp949"]),
}


def messages(language, domains):
    """The catalogues' translations without formats or escapes, 20 characters or longer."""
    found = []
    for domain in domains:
        path = f"{LOCALE}/{language}/LC_MESSAGES/{domain}.mo"
        if not os.path.exists(path):
            continue
        listing = subprocess.run(["msgunfmt", path], capture_output=True, text=True).stdout
        for match in re.finditer(r'msgstr "((?:[^"\\]|\\.)*)"', listing):
            text = match.group(1)
            if len(text) > 20 and "%" not in text and "\\" not in text:
                found.append(text)
    return found


def forms(texts):
    """The five kinds of file made of the texts (in UTF-8)."""
    notes = [t for t in texts if 60 < len(t) < 140 and any(ord(c) > 127 for c in t)]
    made = {"note": notes[0] if notes else texts[0]}
    at = 0
    text = ""
    while len(text) < 2000:
        text += texts[at % len(texts)] + "\n"
        at += 1
    made["2k"] = text
    subtitle = ""
    cue = 1
    while len(subtitle) < 1500:
        seconds = f"{cue // 60:02d}:{cue % 60:02d}"
        subtitle += f"{cue}\r\n00:{seconds},000 --> 00:{seconds},900\r\n{texts[at % len(texts)][:60]}\r\n\r\n"
        cue += 1
        at += 1
    made["srt"] = subtitle
    made["csv"] = "id;name;note\n" + "".join(
        f"{k};{texts[(at + k) % len(texts)][:30].replace(';', ',')};"
        f"{texts[(at + k + 50) % len(texts)][:30].replace(';', ',')}\n"
        for k in range(40)
    )
    text = ""
    while len(text) < 40000:
        text += texts[at % len(texts)] + "\n"
        at += 1
    made["40k"] = text
    return made


def write(folder, name, data, text):
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)
    with open(os.path.join(folder, name + ".utf8"), "w", encoding="utf-8", newline="") as out:
        out.write(text)


def encodes(text, page):
    try:
        text.encode(codec(page))
        return True
    except UnicodeEncodeError:
        return False


def codec(page):
    return "mac_roman" if page == "mac-roman" else page


def pasted(folder, language, page, count):
    """A 2 KB UTF-8 text with its first `count` words above ASCII pasted in `page`."""
    texts = messages(language, ["coreutils"])
    text = ""
    at = 0
    while len(text) < 2000:
        text += texts[at] + "\n"
        at += 1
    words = []
    for word in re.findall(r"\w+", text):
        if any(ord(c) > 127 for c in word) and word not in words:
            words.append(word)
    data = text.encode()
    for word in words[:count]:
        data = data.replace(word.encode(), word.encode(page), 1)
    write(folder, f"mixed.{language}.{count}-words.{page}", data, text)


def rows(folder, language, page, utf8Rows, legacyRows):
    """A CSV file of UTF-8 rows, then rows in `page`."""
    texts = messages(language, ["coreutils"])
    lines = [
        f"{k};{texts[k % len(texts)][:25]};{texts[(k + 300) % len(texts)][:25]}".encode(page, "replace").decode(page)
        for k in range(utf8Rows + legacyRows)
    ]
    data = ("\n".join(lines[:utf8Rows]) + "\n").encode() + ("\n".join(lines[utf8Rows:]) + "\n").encode(page)
    write(folder, f"mixed.{language}.csv-{utf8Rows}-{legacyRows}.{page}", data, "\n".join(lines) + "\n")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    random.seed(7)
    for language, (domains, pages) in LANGUAGES.items():
        texts = messages(language, domains)
        if not texts:
            continue
        random.shuffle(texts)
        for page in pages:
            # The messages the page can write.
            writable = [t for t in texts if encodes(t, page)]
            if not writable:
                continue
            for form, text in forms(writable).items():
                data = text.encode(codec(page))
                if any(byte >= 0x80 for byte in data):
                    write(folder, f"{language}.{form}.{page}", data, text)
    for language, page in [("fr", "cp1252"), ("de", "cp1252"), ("ru", "cp1251"), ("pl", "cp1250")]:
        for count in (1, 2, 6):
            pasted(folder, language, page, count)
        rows(folder, language, page, 200, 20)
        rows(folder, language, page, 60, 60)


if __name__ == "__main__":
    main()
