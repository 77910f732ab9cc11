#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// PNG through libpng, in memory.
namespace vask::PngEncoder {

// 8-bit RGB rows, `stride` bytes apart. Nothing when libpng fails or the size is empty.
std::optional<std::string> encodeRGB(std::span<const std::uint8_t> pixels, int width, int height,
                                     std::size_t stride);

}  // namespace vask::PngEncoder
