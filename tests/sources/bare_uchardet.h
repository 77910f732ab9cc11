#pragma once

#include <uchardet.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "encoded_text.h"
#include "platform/text.h"

namespace vask::test {

// What bare uchardet makes of some bytes: the encoding it names (empty for none) and its reading
// of them through iconv, in NFC and without a byte-order mark. ISO-8859-1, -9, -11 and TIS-620
// are read as the Windows pages that extend them, as browsers read them, and ASCII as UTF-8.
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
    if (auto text = iconvConverted(bytes, "UTF-8", encoding.c_str())) {
        if (text->starts_with("\xEF\xBB\xBF")) {
            text->erase(0, 3);
        }
        reading.text = text::composed(std::move(*text));
    }
    return reading;
}

}  // namespace vask::test
