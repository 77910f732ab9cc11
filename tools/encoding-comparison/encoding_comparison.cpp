// Reads every file of the folders given as Vask reads a text file (`decoding::unicodeText`,
// then `detected`) and as bare uchardet does (its answer read by iconv line by line, a byte that
// does not convert as U+FFFD; ISO-8859-1, -9 and -11 and TIS-620 as the Windows pages that
// extend them, as browsers read them), and compares both with the file's right reading:
// FILE.utf8 beside it, or, for a file of the fuzz corpus, the encoding its name gives. A text in
// a page with UTF-8 pasted into it (FILE.around beside it: the parts of the right reading apart
// by NUL bytes) is read right when the reading holds those parts in their order, the first at its
// start and the last at its end, the pasted UTF-8 as it may. Prints one line for each file
// either reads wrong, then the counts.
// Usage: encoding-comparison FOLDER...

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bare_uchardet.h"
#include "encoded_text.h"
#include "platform/text.h"
#include "sources/decoding/text_decoding.h"

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<std::string> iconvRead(std::string_view bytes, const std::string& encoding) {
    auto text = vask::test::iconvConverted(bytes, "UTF-8", encoding.c_str());
    if (!text) {
        return std::nullopt;
    }
    return vask::text::composed(std::move(*text));
}

// The encoding a fuzz seed's name gives (the seeds are named for what they are written in).
std::optional<std::string> seedEncoding(const std::string& name) {
    static constexpr auto kSeeds = std::to_array<std::pair<std::string_view, const char*>>({
        {"cp850", "CP850"},
        {"euc-kr", "CP949"},
        {"gb18030-names", "GB18030"},
        {"iso-8859-13", "ISO-8859-13"},
        {"koi8-u", "KOI8-U"},
        {"latvian-1257", "CP1257"},
        {"mac-roman", "MACINTOSH"},
        {"pound-1252", "CP1252"},
        {"shift-jis", "SHIFT_JIS"},
        {"thai-utf16le", "UTF-16LE"},
        {"vietnamese-1258", "CP1258"},
    });
    for (const auto& [seed, encoding] : kSeeds) {
        if (name == seed) {
            return encoding;
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: encoding-comparison FOLDER...\n";
        return 2;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : fs::recursive_directory_iterator(argv[i])) {
            if (entry.is_regular_file() && entry.path().extension() != ".utf8" &&
                entry.path().extension() != ".around") {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    int known = 0;
    int vaskRight = 0;
    int uchardetRight = 0;
    int uchardetOnly = 0;
    for (const auto& file : files) {
        const auto bytes = contents(file);
        std::optional<std::string> right;
        if (fs::exists(file.string() + ".utf8")) {
            right = contents(file.string() + ".utf8");
        } else if (const auto encoding = seedEncoding(file.filename().string())) {
            right = iconvRead(bytes, *encoding);
        }
        if (!right) {
            continue;
        }
        ++known;
        std::string vaskEncoding = vask::decoding::unmarkedUtf16Encoding(bytes).value_or("UTF");
        auto vask = vask::decoding::unicodeText(bytes);
        if (!vask) {
            vask = vask::decoding::detected(bytes, &vaskEncoding);
        }
        std::vector<std::string> around;
        if (fs::exists(file.string() + ".around")) {
            std::istringstream parts(contents(file.string() + ".around"));
            for (std::string part; std::getline(parts, part, '\0');) {
                around.push_back(part);
            }
            // (A last part that is empty leaves no field of its own.)
            if (contents(file.string() + ".around").ends_with('\0')) {
                around.emplace_back();
            }
        }
        const auto isRight = [&](const std::optional<std::string>& read) {
            return read &&
                   (*read == *right || (!around.empty() && vask::test::readsAround(*read, around)));
        };
        const auto [uchardetName, uchardet] = vask::test::uchardetReading(bytes);
        const bool vaskOk = isRight(vask);
        const bool uchardetOk = isRight(uchardet);
        vaskRight += vaskOk ? 1 : 0;
        uchardetRight += uchardetOk ? 1 : 0;
        uchardetOnly += uchardetOk && !vaskOk ? 1 : 0;
        if (!vaskOk || !uchardetOk) {
            std::printf("%-60s vask %-14s %-5s uchardet %-16s %s\n", file.string().c_str(),
                        vaskEncoding.c_str(), vaskOk ? "right" : "WRONG",
                        uchardetName.empty() ? "(none)" : uchardetName.c_str(),
                        uchardetOk ? "right" : "WRONG");
        }
    }
    std::printf(
        "%d files: Vask reads %d right, bare uchardet %d; %d that uchardet reads right "
        "and Vask wrong\n",
        known, vaskRight, uchardetRight, uchardetOnly);
    return 0;
}
