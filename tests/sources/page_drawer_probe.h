#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sources/png_encoder.h"

namespace vask::test {

// The stand-in drawer's answer as a page: a PNG whose pixels' bytes are the answer's, then
// zeros, so that PageDrawer takes it for a page and hands it back.
inline std::string probePage(std::string_view answer) {
    constexpr std::size_t kSide = 2000;
    const auto width = std::clamp<std::size_t>((answer.size() + 2) / 3, 1, kSide);
    const auto height = std::max<std::size_t>(1, (answer.size() + width * 3 - 1) / (width * 3));
    std::vector<std::uint8_t> pixels(width * height * 3);
    std::copy(answer.begin(), answer.end(), pixels.begin());
    return PngEncoder::encodeRGB(pixels, static_cast<int>(width), static_cast<int>(height),
                                 width * 3)
        .value_or(std::string());
}

// The answer a page of probePage holds, from its pixels' bytes.
inline std::string probeAnswer(const std::vector<std::uint8_t>& pixels) {
    std::string answer(pixels.begin(), pixels.end());
    answer.erase(answer.find_last_not_of('\0') + 1);
    return answer;
}

}  // namespace vask::test
