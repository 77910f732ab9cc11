#pragma once

#include <png.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vask::test {

// A decoded image as 8-bit RGB rows.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    // The mean of the pixel's three components.
    int brightness(int x, int y) const {
        const auto* p = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 3;
        return (p[0] + p[1] + p[2]) / 3;
    }
    // Top left, top right, bottom left, bottom right.
    std::array<std::pair<int, int>, 4> corners() const {
        const int right = width - 1;
        const int bottom = height - 1;
        return {std::pair{0, 0}, std::pair{right, 0}, std::pair{0, bottom},
                std::pair{right, bottom}};
    }
    std::array<int, 3> rgb(int x, int y) const {
        const auto* p = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

inline std::optional<RgbImage> decodePng(const std::string& png) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGB;
    RgbImage out;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return out;
}

}  // namespace vask::test
