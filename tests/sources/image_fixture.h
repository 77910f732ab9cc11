#pragma once

#include <gif_lib.h>
#include <tiffio.h>
#include <unistd.h>
#include <webp/encode.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_io.h"

namespace vask::test {

using Rgb = std::array<std::uint8_t, 3>;

// A small picture: the left half `left`, the right half `right`.
struct TwoTone {
    int width;
    int height;
    Rgb left;
    Rgb right;

    Rgb at(int x) const { return x < width / 2 ? left : right; }
    std::vector<std::uint8_t> rgb() const {
        std::vector<std::uint8_t> out;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const auto colour = at(x);
                out.insert(out.end(), colour.begin(), colour.end());
            }
        }
        return out;
    }
};

// Lossless, or lossy at `quality` (0 to 100).
inline std::string webpImage(const TwoTone& picture, std::optional<float> quality = std::nullopt) {
    const auto rgb = picture.rgb();
    std::uint8_t* out = nullptr;
    const auto size = quality ? WebPEncodeRGB(rgb.data(), picture.width, picture.height,
                                              picture.width * 3, *quality, &out)
                              : WebPEncodeLosslessRGB(rgb.data(), picture.width, picture.height,
                                                      picture.width * 3, &out);
    std::string bytes(reinterpret_cast<const char*>(out), size);
    WebPFree(out);
    return bytes;
}

inline std::string readAndRemove(const std::filesystem::path& path) {
    auto bytes = readFileIfExists(path).value_or("");
    std::filesystem::remove(path);
    return bytes;
}

inline std::string tiffImage(const TwoTone& picture, const std::filesystem::path& scratch) {
    TIFF* tiff = TIFFOpen(scratch.c_str(), "w");
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, picture.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, picture.height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, picture.height);
    auto rgb = picture.rgb();
    for (int y = 0; y < picture.height; ++y) {
        TIFFWriteScanline(tiff, rgb.data() + static_cast<std::size_t>(y) * picture.width * 3, y, 0);
    }
    TIFFClose(tiff);
    return readAndRemove(scratch);
}

// Two colours, and a third, transparent one that fills the second row.
inline std::string gifImage(const TwoTone& picture, const std::filesystem::path& scratch,
                            bool interlaced = false) {
    int error = 0;
    GifFileType* gif = EGifOpenFileName(scratch.c_str(), false, &error);
    EGifSetGifVersion(gif, true);
    const std::array<GifColorType, 4> colours = {
        GifColorType{picture.left[0], picture.left[1], picture.left[2]},
        GifColorType{picture.right[0], picture.right[1], picture.right[2]}, GifColorType{0, 0, 0},
        GifColorType{0, 0, 0}};
    ColorMapObject* map = GifMakeMapObject(4, colours.data());
    EGifPutScreenDesc(gif, picture.width, picture.height, 2, 0, map);
    GraphicsControlBlock control{};
    control.TransparentColor = 2;
    GifByteType extension[4];
    const auto length = EGifGCBToExtension(&control, extension);
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension);
    EGifPutImageDesc(gif, 0, 0, picture.width, picture.height, interlaced, nullptr);
    std::vector<int> rows;
    for (const auto& [start, step] :
         interlaced ? std::vector<std::pair<int, int>>{{0, 8}, {4, 8}, {2, 4}, {1, 2}}
                    : std::vector<std::pair<int, int>>{{0, 1}}) {
        for (int y = start; y < picture.height; y += step) {
            rows.push_back(y);
        }
    }
    for (const int y : rows) {
        std::vector<GifPixelType> line;
        for (int x = 0; x < picture.width; ++x) {
            line.push_back(y == 1 ? 2 : (x < picture.width / 2 ? 0 : 1));
        }
        EGifPutLine(gif, line.data(), picture.width);
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    return readAndRemove(scratch);
}

}  // namespace vask::test
