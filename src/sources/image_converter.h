#pragma once

#include <optional>
#include <string>
#include <string_view>

// Turns the image formats a vision model may not take (HEIC and other HEIF images, WebP, TIFF,
// GIF, BMP) into PNG. The format is told by the bytes, not the name; transparency is laid over
// white and only the first frame of an animation is kept.
namespace vask::ImageConverter {

// Images with more pixels than this are not decoded.
inline constexpr long long maxPixels = 64LL * 1024 * 1024;

// The PNG of the image; nothing when the bytes are none of those formats or do not decode.
std::optional<std::string> toPNG(std::string_view bytes);

}  // namespace vask::ImageConverter
