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
// Formats whose decoders hold the whole picture at once (lossless WebP, HEIF) are decoded up to
// this many pixels; the others are read a few rows at a time, shrinking as they go.
inline constexpr long long maxWholePicturePixels = 16LL * 1024 * 1024;
// The longest side the vision model is sent, as for PDF pages: larger images are scaled down
// while they are decoded, so memory follows this size and not the size the file claims.
inline constexpr int maxEdgePixels = 2000;

// The PNG of the image, its longer side at most maxEdgePixels; nothing when the bytes are none of
// those formats, do not decode, or are cut short.
std::optional<std::string> toPNG(std::string_view bytes);

}  // namespace vask::ImageConverter
