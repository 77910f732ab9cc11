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

#include "sources/png_encoder.h"

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

// `raw` deflated with `stream` up to `flush`.
inline std::string deflatedWith(z_stream& stream, std::string_view raw, int flush) {
    std::string out(deflateBound(&stream, static_cast<uLong>(raw.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, flush);
    out.resize(out.size() - stream.avail_out);
    return out;
}

// `raw` deflated at `level` into a zlib stream, ended with `flush` (Z_FINISH), or left open
// (Z_SYNC_FLUSH).
inline std::string zlibOf(std::string_view raw, int flush = Z_FINISH,
                          int level = Z_DEFAULT_COMPRESSION) {
    z_stream stream{};
    deflateInit(&stream, level);
    auto out = deflatedWith(stream, raw, flush);
    deflateEnd(&stream);
    return out;
}

// A zlib stream of `leading` deflated at `level`, then `mebibytes` MiB of zeros, made without
// deflating them all: one MiB deflated at the best compression up to a full flush (past which
// no later part refers back), repeated.
inline std::string zerosAfter(std::string_view leading, std::size_t mebibytes,
                              int level = Z_DEFAULT_COMPRESSION) {
    z_stream stream{};
    deflateInit(&stream, level);
    auto out = deflatedWith(stream, leading, Z_FULL_FLUSH);
    deflateParams(&stream, Z_BEST_COMPRESSION, Z_DEFAULT_STRATEGY);
    const std::string zeros(std::size_t{1} << 20, '\0');
    const auto part = deflatedWith(stream, zeros, Z_FULL_FLUSH);
    deflateEnd(&stream);
    const auto bytes = [](std::string_view text) {
        return adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()),
                       static_cast<uInt>(text.size()));
    };
    auto check = bytes(leading);
    const auto ofZeros = bytes(zeros);
    for (std::size_t i = 0; i < mebibytes; ++i) {
        out += part;
        check = adler32_combine(check, ofZeros, static_cast<z_off_t>(zeros.size()));
    }
    // An empty last block, and the check of what was inflated.
    out.append("\x03\x00", 2);
    for (const int shift : {24, 16, 8, 0}) {
        out.push_back(static_cast<char>((check >> shift) & 0xff));
    }
    return out;
}

// Deflate's bits as a stream carries them, least significant first, for blocks made by hand.
class DeflateBits {
  public:
    void put(std::uint32_t value, int count) {
        pending_ |= std::uint64_t{value} << filled_;
        filled_ += count;
        for (; filled_ >= 8; filled_ -= 8) {
            bytes_.push_back(static_cast<char>(pending_ & 0xff));
            pending_ >>= 8;
        }
    }
    // A Huffman code, its most significant bit first.
    void putCode(std::uint32_t code, int length) {
        std::uint32_t reversed = 0;
        for (int i = 0; i < length; ++i) {
            reversed |= ((code >> i) & 1U) << (length - 1 - i);
        }
        put(reversed, length);
    }
    void toByte() {
        if (filled_ > 0) {
            put(0, 8 - filled_);
        }
    }
    // The whole bytes written, and the bits after them.
    const std::string& bytes() const { return bytes_; }
    int tailBits() const { return filled_; }
    std::uint32_t tail() const { return static_cast<std::uint32_t>(pending_); }

  private:
    std::string bytes_;
    std::uint64_t pending_ = 0;
    int filled_ = 0;
};

// Deflate blocks that carry nothing, none the last: stored (5 bytes from a byte's start), fixed
// (10 bits), dynamic with the fewest codes (92 bits: only the end of the block is coded), and
// dynamic with every code (715 bits: 286 literal/length codes of 8 and 9 bits, 30 distance codes
// of 4 and 5 bits), the costliest for an inflater to set up.
enum class EmptyBlock { stored, fixed, dynamic, everyCode };

inline void putEmptyBlock(DeflateBits& bits, EmptyBlock kind) {
    switch (kind) {
        case EmptyBlock::stored:
            bits.put(0, 3);
            bits.toByte();
            bits.put(0x0000, 16);
            bits.put(0xffff, 16);
            break;
        case EmptyBlock::fixed:
            bits.put(1 << 1, 3);
            bits.putCode(0, 7);
            break;
        case EmptyBlock::dynamic: {
            bits.put(2 << 1, 3);
            // 257 literal/length codes, one distance code, 18 code length codes.
            bits.put(0, 5);
            bits.put(0, 5);
            bits.put(14, 4);
            // In deflate's order (16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1): 18 (a run of
            // zeros) coded "0", 0 "10", 1 "11".
            for (const int length : {0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}) {
                bits.put(static_cast<std::uint32_t>(length), 3);
            }
            // 256 zeros (138 and 118), the end of the block of length 1, no distance code.
            bits.putCode(0, 1);
            bits.put(138 - 11, 7);
            bits.putCode(0, 1);
            bits.put(118 - 11, 7);
            bits.putCode(3, 2);
            bits.putCode(2, 2);
            // The end of the block.
            bits.putCode(0, 1);
            break;
        }
        case EmptyBlock::everyCode: {
            bits.put(2 << 1, 3);
            bits.put(286 - 257, 5);
            bits.put(30 - 1, 5);
            bits.put(19 - 4, 4);
            // In deflate's order (16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1 15): 4, 5, 8 and
            // 9 coded in 2 bits ("00", "01", "10", "11").
            for (const int length : {0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0}) {
                bits.put(static_cast<std::uint32_t>(length), 3);
            }
            // 226 literal/length codes of 8 bits and 60 of 9 bits; 28 distance codes of 5 bits
            // and 2 of 4 bits.
            for (int symbol = 0; symbol < 286; ++symbol) {
                bits.putCode(symbol < 226 ? 2 : 3, 2);
            }
            for (int symbol = 0; symbol < 30; ++symbol) {
                bits.putCode(symbol < 28 ? 1 : 0, 2);
            }
            // The end of the block (256), the 31st code of 9 bits.
            bits.putCode(226 * 2 + (256 - 226), 9);
            break;
        }
    }
}

inline void putAdler(std::string& stream, std::string_view raw) {
    const auto check = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(raw.data()),
                               static_cast<uInt>(raw.size()));
    for (const int shift : {24, 16, 8, 0}) {
        stream.push_back(static_cast<char>((check >> shift) & 0xff));
    }
}

// A zlib stream of `raw` deflated at `level` that `count` empty blocks of `kind` lead; the last of
// them is stored, so that the blocks zlib writes start on a byte.
inline std::string ledByEmptyBlocks(EmptyBlock kind, std::size_t count, std::string_view raw,
                                    int level = Z_DEFAULT_COMPRESSION) {
    DeflateBits bits;
    bits.put(0x78, 8);
    bits.put(0x9c, 8);
    for (std::size_t i = 0; i < count; ++i) {
        putEmptyBlock(bits, i + 1 == count ? EmptyBlock::stored : kind);
    }
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    auto out = bits.bytes() + deflatedWith(stream, raw, Z_FINISH);
    deflateEnd(&stream);
    putAdler(out, raw);
    return out;
}

// A zlib stream of `raw` deflated up to a flush (which ends in an empty stored block), then
// `count` empty blocks of `kind`, then an empty last block.
inline std::string followedByEmptyBlocks(EmptyBlock kind, std::size_t count, std::string_view raw) {
    DeflateBits bits;
    for (std::size_t i = 0; i < count; ++i) {
        putEmptyBlock(bits, kind);
    }
    // The last block: fixed, with only its end.
    bits.put(1 | (1 << 1), 3);
    bits.putCode(0, 7);
    bits.toByte();
    auto out = zlibOf(raw, Z_SYNC_FLUSH) + bits.bytes();
    putAdler(out, raw);
    return out;
}

// A zlib stream of `raw` (bytes below 15 only) in one dynamic block that codes 0 and 1 in 15
// bits, 2 to 14 in 14 down to 2, and the end of the block in 1: a stream almost twice as long
// as what it inflates to.
inline std::string longCodedStream(std::string_view raw) {
    // The literal/length codes' lengths and their canonical codes (a code of each length, the
    // two of 15 bits last).
    std::array<int, 257> lengths{};
    std::array<std::uint32_t, 257> codes{};
    lengths[256] = 1;
    for (int symbol = 2; symbol <= 14; ++symbol) {
        lengths[static_cast<std::size_t>(symbol)] = 16 - symbol;
    }
    lengths[0] = 15;
    lengths[1] = 15;
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        // The first code of length n is 2^n - 2 (n from 2), and 0 for length 1.
        const auto length = lengths[symbol];
        codes[symbol] = length <= 1 ? 0 : (std::uint32_t{1} << length) - 2 + (symbol == 1 ? 1 : 0);
    }
    DeflateBits bits;
    bits.put(0x78, 8);
    bits.put(0x9c, 8);
    // The last block, dynamic: 257 literal/length codes, one distance code, and the 19 code
    // length codes, 0 to 15 coded in 4 bits ("0000" for 0 to "1111" for 15), 16 to 18 none.
    bits.put(1 | (2 << 1), 3);
    bits.put(0, 5);
    bits.put(0, 5);
    bits.put(19 - 4, 4);
    for (const int symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15}) {
        bits.put(symbol < 16 ? 4 : 0, 3);
    }
    for (const auto length : lengths) {
        bits.putCode(static_cast<std::uint32_t>(length), 4);
    }
    // One distance code, of length 1.
    bits.putCode(1, 4);
    for (const char byte : raw) {
        const auto symbol = static_cast<std::size_t>(static_cast<unsigned char>(byte));
        bits.putCode(codes.at(symbol), lengths.at(symbol));
    }
    bits.putCode(codes[256], lengths[256]);
    bits.toByte();
    auto out = bits.bytes();
    putAdler(out, raw);
    return out;
}

// The PNG signature and header chunk of an image.
inline std::string pngHeader(std::uint32_t width, std::uint32_t height, int bitDepth,
                             int colourType, bool interlaced = false) {
    std::string data;
    for (const auto value : {width, height}) {
        for (const int shift : {24, 16, 8, 0}) {
            data.push_back(static_cast<char>((value >> shift) & 0xff));
        }
    }
    data += {static_cast<char>(bitDepth), static_cast<char>(colourType), 0, 0,
             static_cast<char>(interlaced ? 1 : 0)};
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", data);
}

// `chunk` with the last byte of its CRC changed.
inline std::string damaged(std::string chunk) {
    chunk.back() = static_cast<char>(chunk.back() ^ 1);
    return chunk;
}

// A PNG that libpng writes of `width` x `height` pixels of `colourType` at `bitDepth`, its bytes
// a pattern; a palette page has as many entries as its indices can name, and a transparency.
inline std::string writtenPng(std::uint32_t width, std::uint32_t height, int bitDepth,
                              int colourType, bool interlaced) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::string out;
    png_set_write_fn(
        png, &out,
        [](png_structp writer, png_bytep data, png_size_t length) {
            static_cast<std::string*>(png_get_io_ptr(writer))
                ->append(reinterpret_cast<const char*>(data), length);
        },
        nullptr);
    png_set_IHDR(png, info, width, height, bitDepth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette(std::size_t{1} << std::min(bitDepth, 8));
    png_byte opaque = 0;
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
        png_set_tRNS(png, info, &opaque, 1, nullptr);
    }
    png_write_info(png, info);
    const auto rowBytes = png_get_rowbytes(png, info);
    std::vector<png_byte> pixels(rowBytes * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<png_byte>(i * 37 + i / rowBytes);
    }
    std::vector<png_bytep> rows(height);
    for (std::size_t y = 0; y < height; ++y) {
        rows[y] = pixels.data() + y * rowBytes;
    }
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// A page of one pixel, with `chunks` after its header.
inline std::string onePixelPage(const std::string& chunks = {}) {
    const std::vector<std::uint8_t> pixel{0x20, 0x40, 0x60};
    return withChunksAfterHeader(PngEncoder::encodeRGB(pixel, 1, 1, 3).value(), chunks);
}

// `count` chunks of `type` (zTXt, iTXt or iCCP) that would each inflate to `each` zeros.
inline std::string inflatingChunks(std::string_view type, int count, std::size_t each) {
    const auto deflated = deflatedZeros(each);
    std::string header;
    if (type == "zTXt") {
        header = std::string("Comment\0\0", 9);
    } else if (type == "iTXt") {
        header = std::string("Comment\0\1\0\0\0", 12);
    } else {
        header = std::string("profile\0\0", 9);
    }
    std::string chunks;
    for (int i = 0; i < count; ++i) {
        chunks += pngChunk(type, header + deflated);
    }
    return chunks;
}

// An unknown chunk of `bytes`: a page made as large as its chunks would inflate, were a chunk's
// inflation bounded by the page's size.
inline std::string paddingChunk(std::size_t bytes) {
    return pngChunk("vaSk", std::string(bytes, 'x'));
}

}  // namespace vask::test
