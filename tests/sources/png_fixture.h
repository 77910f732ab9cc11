#pragma once

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// A PNG chunk: its length, type, data and CRC.
inline std::string pngChunk(std::string_view type, std::string_view data) {
    std::string chunk;
    const auto length = static_cast<std::uint32_t>(data.size());
    for (const int shift : {24, 16, 8, 0}) {
        chunk.push_back(static_cast<char>((length >> shift) & 0xff));
    }
    chunk.append(type).append(data);
    auto crc = crc32(0, nullptr, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data() + 4),
                static_cast<uInt>(chunk.size() - 4));
    for (const int shift : {24, 16, 8, 0}) {
        chunk.push_back(static_cast<char>((crc >> shift) & 0xff));
    }
    return chunk;
}

// `png` with `chunks` between its header chunk and the rest.
inline std::string withChunksAfterHeader(std::string png, const std::string& chunks) {
    // The signature (8 bytes) and the header chunk (25).
    return png.insert(33, chunks);
}

// A zlib stream that inflates to `bytes` zeros.
inline std::string deflatedZeros(std::size_t bytes) {
    z_stream stream{};
    deflateInit(&stream, Z_BEST_COMPRESSION);
    std::vector<Bytef> zeros(std::size_t{1} << 20);
    std::vector<Bytef> out(std::size_t{1} << 16);
    std::string deflated;
    for (int flush = Z_NO_FLUSH; flush != Z_FINISH;) {
        const auto part = std::min(bytes, zeros.size());
        bytes -= part;
        flush = bytes == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = zeros.data();
        stream.avail_in = static_cast<uInt>(part);
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, flush);
            deflated.append(reinterpret_cast<const char*>(out.data()),
                            out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return deflated;
}

}  // namespace vask::test
