#include "sources/png_encoder.h"

#include <png.h>

#include <csetjmp>
#include <vector>

namespace vask {
namespace {

void appendToString(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), length);
}

void flushNothing(png_structp) {}

}  // namespace

std::optional<std::string> PngEncoder::encodeRGB(std::span<const std::uint8_t> pixels, int width,
                                                 int height, std::size_t stride) {
    if (width <= 0 || height <= 0 ||
        pixels.size() <
            stride * static_cast<std::size_t>(height - 1) + static_cast<std::size_t>(width) * 3) {
        return std::nullopt;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        return std::nullopt;
    }
    png_infop info = png_create_info_struct(png);
    std::string out;
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        rows[static_cast<std::size_t>(y)] =
            const_cast<png_bytep>(pixels.data() + stride * static_cast<std::size_t>(y));
    }
    // libpng reports failure by longjmp; nothing with a destructor is created after this point.
    if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        return std::nullopt;
    }
    png_set_write_fn(png, &out, appendToString, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // Rendered pages are mostly flat colour; a fast level keeps encoding well below drawing time.
    png_set_compression_level(png, 3);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace vask
