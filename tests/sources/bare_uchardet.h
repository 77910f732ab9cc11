#pragma once

#include <iconv.h>
#include <uchardet.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "encoded_text.h"
#include "platform/text.h"

namespace vask::test {

// What bare uchardet makes of some bytes: the encoding it names (empty for none) and its reading
// of them through iconv, in NFC and without a byte-order mark. ISO-8859-1, -9, -11 and TIS-620
// are read as the Windows pages that extend them, as browsers read them, and ASCII as UTF-8. The
// page is read as a reader sees it: line by line, each byte that does not convert as U+FFFD (a
// word or a line pasted from UTF-8 into legacy text garbles itself, not the lines around it).
struct UchardetReading {
    std::string name;
    std::optional<std::string> text;
};

inline UchardetReading uchardetReading(std::string_view bytes) {
    const std::unique_ptr<std::remove_pointer_t<uchardet_t>, decltype(&uchardet_delete)> detector(
        uchardet_new(), uchardet_delete);
    uchardet_handle_data(detector.get(), bytes.data(), bytes.size());
    uchardet_data_end(detector.get());
    UchardetReading reading{uchardet_get_charset(detector.get()), std::nullopt};
    if (reading.name.empty()) {
        return reading;
    }
    std::string encoding = reading.name;
    for (const auto& [superset, of] : std::to_array<std::pair<std::string_view, std::string_view>>(
             {{"ISO-8859-1", "WINDOWS-1252"},
              {"ISO-8859-9", "WINDOWS-1254"},
              {"ISO-8859-11", "CP874"},
              {"TIS-620", "CP874"},
              {"ASCII", "UTF-8"}})) {
        if (reading.name == superset) {
            encoding = of;
        }
    }
    std::optional<std::string> text;
    if (encoding.starts_with("UTF-16") || encoding.starts_with("UTF-32")) {
        text = iconvConverted(bytes, "UTF-8", encoding.c_str());
    } else {
        // Line by line: a line break is one in every page uchardet names but those.
        text.emplace();
        for (std::size_t at = 0; at < bytes.size();) {
            const auto end = std::min(bytes.size(), bytes.find('\n', at));
            const auto line = iconvConverted(bytes.substr(at, end - at), "UTF-8", encoding.c_str(),
                                             Unconverted::replaced);
            if (!line) {
                text.reset();
                break;
            }
            *text += *line;
            if (end < bytes.size()) {
                *text += '\n';
            }
            at = end + 1;
        }
    }
    if (text) {
        if (text->starts_with("\xEF\xBB\xBF")) {
            text->erase(0, 3);
        }
        reading.text = text::composed(std::move(*text));
    }
    return reading;
}

// Whether a reading holds the parts of a text in their order, the first at its start and the
// last at its end, with anything between them: how a text in a page with words or lines pasted
// into it from UTF-8 is read right (the parts in the page right, the pasted UTF-8 as it may).
inline bool readsAround(std::string_view read, const std::vector<std::string>& parts) {
    if (parts.empty() || !read.starts_with(parts.front()) || !read.ends_with(parts.back())) {
        return false;
    }
    std::size_t at = parts.front().size();
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        at = read.find(parts[i], at);
        if (at == std::string_view::npos) {
            return false;
        }
        at += parts[i].size();
    }
    return at + parts.back().size() <= read.size() || parts.size() == 1;
}

}  // namespace vask::test
