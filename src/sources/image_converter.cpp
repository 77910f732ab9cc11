#include "sources/image_converter.h"

#include <gif_lib.h>
#include <libheif/heif.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "sources/png_encoder.h"

namespace vask::ImageConverter {
namespace {

// 8-bit RGB, rows packed.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

bool acceptableSize(long long width, long long height) {
    return width > 0 && height > 0 && width * height <= maxPixels;
}

Bitmap blank(int width, int height) {
    Bitmap bitmap{width, height, {}};
    bitmap.rgb.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 0xFF);
    return bitmap;
}

struct Size {
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
};

// The size an image of `width` x `height` is sent at: as it is, or scaled so that its longer side
// is maxEdgePixels (each side rounded up, at least 1).
Size fitted(int width, int height) {
    const long long longer = std::max(width, height);
    if (longer <= maxEdgePixels) {
        return {width, height};
    }
    const auto scaled = [&](long long side) {
        return static_cast<int>(std::max(1LL, (side * maxEdgePixels + longer - 1) / longer));
    };
    return {scaled(width), scaled(height)};
}

// Takes the rows of a picture, top to bottom, as 8-bit RGB and averages each block of source
// pixels into one pixel of the fitted size, so that only one row of sums is held besides the
// result.
class Shrinker {
  public:
    Shrinker(int width, int height)
        : source_{width, height},
          target_(fitted(width, height)),
          bitmap_(blank(target_.width, target_.height)),
          sums_(static_cast<std::size_t>(target_.width) * 3, 0),
          columns_(static_cast<std::size_t>(target_.width), 0),
          columnOf_(static_cast<std::size_t>(width)) {
        for (int x = 0; x < width; ++x) {
            const auto column = static_cast<long long>(x) * target_.width / width;
            columnOf_[static_cast<std::size_t>(x)] = static_cast<int>(column);
            ++columns_[static_cast<std::size_t>(column)];
        }
    }

    Size target() const { return target_; }

    void addRow(const std::uint8_t* rgb) {
        if (row_ >= source_.height) {
            return;
        }
        const auto targetRow =
            static_cast<int>(static_cast<long long>(row_) * target_.height / source_.height);
        if (targetRow != targetRow_) {
            flush();
            targetRow_ = targetRow;
        }
        for (std::size_t x = 0; x < columnOf_.size(); ++x) {
            auto* sum = sums_.data() + static_cast<std::size_t>(columnOf_[x]) * 3;
            sum[0] += rgb[x * 3];
            sum[1] += rgb[x * 3 + 1];
            sum[2] += rgb[x * 3 + 2];
        }
        ++rowsSummed_;
        ++row_;
    }

    Bitmap finish() {
        flush();
        return std::move(bitmap_);
    }

  private:
    void flush() {
        if (rowsSummed_ == 0) {
            return;
        }
        auto* out = bitmap_.rgb.data() + static_cast<std::size_t>(targetRow_) * target_.width * 3;
        for (std::size_t x = 0; x < columns_.size(); ++x) {
            const std::uint64_t count = columns_[x] * rowsSummed_;
            for (std::size_t c = 0; c < 3; ++c) {
                out[x * 3 + c] = static_cast<std::uint8_t>((sums_[x * 3 + c] + count / 2) / count);
                sums_[x * 3 + c] = 0;
            }
        }
        rowsSummed_ = 0;
    }

    Size source_;
    Size target_;
    Bitmap bitmap_;
    std::vector<std::uint64_t> sums_;
    std::vector<std::uint64_t> columns_;
    std::vector<int> columnOf_;
    int row_ = 0;
    int targetRow_ = 0;
    std::uint64_t rowsSummed_ = 0;
};

// `value` over white at opacity `alpha`.
std::uint8_t overWhite(unsigned value, unsigned alpha) {
    return static_cast<std::uint8_t>((value * alpha + 255 * (255 - alpha) + 127) / 255);
}

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// --- WebP

// Lossy pictures are decoded straight into the fitted size (libwebp scales macroblock rows as it
// goes); lossless ones keep every pixel while decoding, so they have the whole-picture cap.
std::optional<Bitmap> decodeWebP(std::string_view bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config) ||
        WebPGetFeatures(data, bytes.size(), &config.input) != VP8_STATUS_OK) {
        return std::nullopt;
    }
    const int width = config.input.width;
    const int height = config.input.height;
    constexpr int kLossy = 1;
    if (!acceptableSize(width, height) || config.input.has_animation ||
        (config.input.format != kLossy &&
         static_cast<long long>(width) * height > maxWholePicturePixels)) {
        return std::nullopt;
    }
    const auto size = fitted(width, height);
    if (size != Size{width, height}) {
        config.options.use_scaling = 1;
        config.options.scaled_width = size.width;
        config.options.scaled_height = size.height;
    }
    config.output.colorspace = MODE_RGBA;
    const std::unique_ptr<WebPDecBuffer, decltype(&WebPFreeDecBuffer)> output(&config.output,
                                                                              WebPFreeDecBuffer);
    if (WebPDecode(data, bytes.size(), &config) != VP8_STATUS_OK ||
        config.output.width != size.width || config.output.height != size.height) {
        return std::nullopt;
    }
    const auto& rgba = config.output.u.RGBA;
    auto bitmap = blank(size.width, size.height);
    for (int y = 0; y < size.height; ++y) {
        const auto* row = rgba.rgba + static_cast<std::size_t>(rgba.stride) * y;
        auto* out = bitmap.rgb.data() + static_cast<std::size_t>(size.width) * 3 * y;
        for (int x = 0; x < size.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                out[x * 3 + c] = overWhite(row[x * 4 + c], row[x * 4 + 3]);
            }
        }
    }
    return bitmap;
}

// --- HEIF

std::optional<Bitmap> decodeHeif(std::string_view bytes) {
    const std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                              heif_context_free);
    if (!context || heif_context_read_from_memory_without_copy(context.get(), bytes.data(),
                                                               bytes.size(), nullptr)
                            .code != heif_error_Ok) {
        return std::nullopt;
    }
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) {
        return std::nullopt;
    }
    const std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(
        rawHandle, heif_image_handle_release);
    const long long claimedWidth = heif_image_handle_get_width(handle.get());
    const long long claimedHeight = heif_image_handle_get_height(handle.get());
    if (!acceptableSize(claimedWidth, claimedHeight) ||
        claimedWidth * claimedHeight > maxWholePicturePixels) {
        return std::nullopt;
    }
    heif_image* rawImage = nullptr;
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                          heif_chroma_interleaved_RGBA, nullptr)
            .code != heif_error_Ok) {
        return std::nullopt;
    }
    const std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage,
                                                                           heif_image_release);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const auto* plane =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (plane == nullptr || !acceptableSize(width, height) || stride < width * 4) {
        return std::nullopt;
    }
    Shrinker shrinker(width, height);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(width) * 3);
    for (int y = 0; y < height; ++y) {
        const auto* row = plane + static_cast<std::size_t>(stride) * y;
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                line[static_cast<std::size_t>(x) * 3 + c] =
                    overWhite(row[x * 4 + c], row[x * 4 + 3]);
            }
        }
        shrinker.addRow(line.data());
    }
    return shrinker.finish();
}

// --- TIFF

struct MemoryFile {
    std::string_view bytes;
    toff_t offset = 0;
};

tsize_t tiffRead(thandle_t handle, tdata_t buffer, tsize_t size) {
    auto* file = static_cast<MemoryFile*>(handle);
    if (file->offset >= file->bytes.size() || size <= 0) {
        return 0;
    }
    const auto n = std::min<toff_t>(static_cast<toff_t>(size), file->bytes.size() - file->offset);
    std::memcpy(buffer, file->bytes.data() + file->offset, n);
    file->offset += n;
    return static_cast<tsize_t>(n);
}
tsize_t tiffWrite(thandle_t, tdata_t, tsize_t) {
    return 0;
}
toff_t tiffSeek(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<MemoryFile*>(handle);
    toff_t base = 0;
    if (whence == SEEK_CUR) {
        base = file->offset;
    } else if (whence == SEEK_END) {
        base = file->bytes.size();
    }
    file->offset = base + offset;
    return file->offset;
}
int tiffClose(thandle_t) {
    return 0;
}
toff_t tiffSize(thandle_t handle) {
    return static_cast<MemoryFile*>(handle)->bytes.size();
}
int tiffMap(thandle_t, tdata_t*, toff_t*) {
    return 0;
}
void tiffUnmap(thandle_t, tdata_t, toff_t) {}

// What one strip (or row of tiles) may take decoded, and the rows of RGBA read at a time.
constexpr std::uint64_t kMaxTiffChunkBytes = 64ULL * 1024 * 1024;

// Every strip or tile lies within the file: a file cut short is refused before anything is
// allocated for its pixels.
bool tiffDataWithinFile(TIFF* tiff, std::uint64_t fileSize) {
    const bool tiled = TIFFIsTiled(tiff) != 0;
    const auto count = tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
    std::uint64_t* offsets = nullptr;
    std::uint64_t* lengths = nullptr;
    if (count == 0 ||
        !TIFFGetField(tiff, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets) ||
        !TIFFGetField(tiff, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &lengths) ||
        offsets == nullptr || lengths == nullptr) {
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (lengths[i] == 0 || offsets[i] > fileSize || lengths[i] > fileSize - offsets[i]) {
            return false;
        }
    }
    return true;
}

void fromTiffRgba(const std::uint32_t* pixels, std::size_t count, std::uint8_t* rgb) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto pixel = pixels[i];
        const auto alpha = TIFFGetA(pixel);
        rgb[i * 3] = overWhite(TIFFGetR(pixel), alpha);
        rgb[i * 3 + 1] = overWhite(TIFFGetG(pixel), alpha);
        rgb[i * 3 + 2] = overWhite(TIFFGetB(pixel), alpha);
    }
}

// Read a strip (or a row of tiles) at a time into the shrinker, so that only one of them is held
// decoded. Pictures stored other than top row first are turned by libtiff, which needs them
// whole: they have the whole-picture cap.
std::optional<Bitmap> decodeTiff(std::string_view bytes) {
    // libtiff reports through handlers that print to stderr; the answer here is yes or no.
    static const bool silenced = [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
        return true;
    }();
    (void)silenced;
    MemoryFile file{bytes};
    const std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(
        TIFFClientOpen("image", "rm", &file, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize,
                       tiffMap, tiffUnmap),
        TIFFClose);
    if (!tiff) {
        return std::nullopt;
    }
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
    if (!acceptableSize(width, height) || !tiffDataWithinFile(tiff.get(), bytes.size())) {
        return std::nullopt;
    }
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ORIENTATION, &orientation);
    std::uint32_t chunkRows = height;
    if (orientation != ORIENTATION_TOPLEFT) {
        if (static_cast<long long>(width) * height > maxWholePicturePixels) {
            return std::nullopt;
        }
    } else if (TIFFIsTiled(tiff.get())) {
        TIFFGetField(tiff.get(), TIFFTAG_TILELENGTH, &chunkRows);
    } else {
        TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ROWSPERSTRIP, &chunkRows);
    }
    chunkRows = std::clamp<std::uint32_t>(chunkRows, 1, height);
    const auto decodedChunk = TIFFIsTiled(tiff.get()) ? TIFFTileRowSize64(tiff.get()) * chunkRows
                                                      : TIFFStripSize64(tiff.get());
    if (decodedChunk > kMaxTiffChunkBytes ||
        std::uint64_t{width} * chunkRows * 4 > kMaxTiffChunkBytes) {
        return std::nullopt;
    }
    char message[1024] = {};
    TIFFRGBAImage image{};
    if (!TIFFRGBAImageOK(tiff.get(), message) ||
        !TIFFRGBAImageBegin(&image, tiff.get(), 0, message)) {
        return std::nullopt;
    }
    const std::unique_ptr<TIFFRGBAImage, decltype(&TIFFRGBAImageEnd)> ended(&image,
                                                                            TIFFRGBAImageEnd);
    image.req_orientation = ORIENTATION_TOPLEFT;
    Shrinker shrinker(static_cast<int>(width), static_cast<int>(height));
    std::vector<std::uint32_t> raster(static_cast<std::size_t>(width) * chunkRows);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(width) * 3);
    for (std::uint32_t row = 0; row < height; row += chunkRows) {
        const auto rows = std::min(chunkRows, height - row);
        image.row_offset = static_cast<int>(row);
        image.col_offset = 0;
        if (!TIFFRGBAImageGet(&image, raster.data(), width, rows)) {
            return std::nullopt;
        }
        for (std::uint32_t y = 0; y < rows; ++y) {
            fromTiffRgba(raster.data() + static_cast<std::size_t>(y) * width, width, line.data());
            shrinker.addRow(line.data());
        }
    }
    return shrinker.finish();
}

// --- GIF

int gifRead(GifFileType* gif, GifByteType* buffer, int size) {
    auto* file = static_cast<MemoryFile*>(gif->UserData);
    if (size <= 0 || file->offset >= file->bytes.size()) {
        return 0;
    }
    const auto n = std::min<toff_t>(static_cast<toff_t>(size), file->bytes.size() - file->offset);
    std::memcpy(buffer, file->bytes.data() + file->offset, n);
    file->offset += n;
    return static_cast<int>(n);
}

void closeGif(GifFileType* gif) {
    int error = 0;
    DGifCloseFile(gif, &error);
}

// Only the first frame is read, record by record, so that an animation's later frames cost
// nothing.
std::optional<Bitmap> decodeGif(std::string_view bytes) {
    MemoryFile file{bytes};
    int error = 0;
    const std::unique_ptr<GifFileType, decltype(&closeGif)> gif(DGifOpen(&file, gifRead, &error),
                                                                closeGif);
    if (!gif || !acceptableSize(gif->SWidth, gif->SHeight)) {
        return std::nullopt;
    }
    int transparent = NO_TRANSPARENT_COLOR;
    while (true) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif.get(), &record) != GIF_OK || record == TERMINATE_RECORD_TYPE) {
            return std::nullopt;
        }
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif.get(), &code, &block) != GIF_OK) {
                return std::nullopt;
            }
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr) {
                GraphicsControlBlock control{};
                if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK) {
                    transparent = control.TransparentColor;
                }
            }
            while (block != nullptr) {
                if (DGifGetExtensionNext(gif.get(), &block) != GIF_OK) {
                    return std::nullopt;
                }
            }
            continue;
        }
        if (record != IMAGE_DESC_RECORD_TYPE) {
            continue;
        }
        if (DGifGetImageDesc(gif.get()) != GIF_OK) {
            return std::nullopt;
        }
        const auto& place = gif->Image;
        const ColorMapObject* colours = place.ColorMap != nullptr ? place.ColorMap : gif->SColorMap;
        if (colours == nullptr || !acceptableSize(place.Width, place.Height)) {
            return std::nullopt;
        }
        // Interlaced frames store their rows in four passes.
        std::vector<int> rows;
        if (place.Interlace) {
            for (const auto& [start, step] :
                 {std::pair{0, 8}, std::pair{4, 8}, std::pair{2, 4}, std::pair{1, 2}}) {
                for (int y = start; y < place.Height; y += step) {
                    rows.push_back(y);
                }
            }
        } else {
            for (int y = 0; y < place.Height; ++y) {
                rows.push_back(y);
            }
        }
        // Larger screens are sampled into the fitted size: a frame's rows may come in any order.
        const Size screen{gif->SWidth, gif->SHeight};
        const auto size = fitted(screen.width, screen.height);
        auto bitmap = blank(size.width, size.height);
        std::vector<GifPixelType> line(static_cast<std::size_t>(place.Width));
        for (const int y : rows) {
            if (DGifGetLine(gif.get(), line.data(), place.Width) != GIF_OK) {
                return std::nullopt;
            }
            const long long sy = static_cast<long long>(place.Top) + y;
            if (sy < 0 || sy >= screen.height) {
                continue;
            }
            const auto ty = static_cast<std::size_t>(sy * size.height / screen.height);
            for (int x = 0; x < place.Width; ++x) {
                const long long sx = static_cast<long long>(place.Left) + x;
                const int index = line[static_cast<std::size_t>(x)];
                if (sx < 0 || sx >= screen.width || index == transparent ||
                    index >= colours->ColorCount) {
                    continue;
                }
                const auto tx = static_cast<std::size_t>(sx * size.width / screen.width);
                const auto& colour = colours->Colors[index];
                auto* out =
                    bitmap.rgb.data() + (ty * static_cast<std::size_t>(size.width) + tx) * 3;
                out[0] = colour.Red;
                out[1] = colour.Green;
                out[2] = colour.Blue;
            }
        }
        return bitmap;
    }
}

// --- BMP

// The value of `pixel` under `mask`, scaled to 0...255.
std::uint8_t masked(std::uint32_t pixel, std::uint32_t mask) {
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (((mask >> shift) & 1U) == 0) {
        ++shift;
    }
    const std::uint32_t maximum = mask >> shift;
    return static_cast<std::uint8_t>(((pixel & mask) >> shift) * 255U / maximum);
}

// Uncompressed (and bit-field) BMPs of 1, 4, 8, 16, 24 and 32 bits per pixel.
std::optional<Bitmap> decodeBmp(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if (size < 26) {
        return std::nullopt;
    }
    const std::uint32_t pixelOffset = le32(data + 10);
    const std::uint32_t headerSize = le32(data + 14);
    long long width = 0;
    long long height = 0;
    unsigned bits = 0;
    std::uint32_t compression = 0;
    std::uint32_t paletteCount = 0;
    std::size_t paletteEntry = 4;
    if (headerSize == 12) {
        width = le16(data + 18);
        height = static_cast<std::int16_t>(le16(data + 20));
        bits = le16(data + 24);
        paletteEntry = 3;
    } else if (headerSize >= 40 && size >= 14 + 40) {
        width = static_cast<std::int32_t>(le32(data + 18));
        height = static_cast<std::int32_t>(le32(data + 22));
        bits = le16(data + 28);
        compression = le32(data + 30);
        paletteCount = le32(data + 46);
    } else {
        return std::nullopt;
    }
    const bool topDown = height < 0;
    height = topDown ? -height : height;
    if (!acceptableSize(width, height)) {
        return std::nullopt;
    }
    // Masks: after the 40-byte header for BI_BITFIELDS, inside larger headers otherwise.
    std::uint32_t masks[4] = {0, 0, 0, 0};
    if (bits == 16) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
    } else if (bits == 32) {
        masks[0] = 0x00FF0000;
        masks[1] = 0x0000FF00;
        masks[2] = 0x000000FF;
    }
    if (compression == 3 || compression == 6) {  // BI_BITFIELDS, BI_ALPHABITFIELDS
        const std::size_t at = 14 + 40;
        const int count = compression == 6 || headerSize >= 56 ? 4 : 3;
        if ((bits != 16 && bits != 32) || size < at + 4 * static_cast<std::size_t>(count)) {
            return std::nullopt;
        }
        for (int i = 0; i < count; ++i) {
            masks[i] = le32(data + at + 4 * static_cast<std::size_t>(i));
        }
    } else if (compression != 0) {
        return std::nullopt;  // run-length, JPEG and PNG payloads are not read here
    }
    const bool alpha = bits == 32 && masks[3] != 0;
    std::vector<std::array<std::uint8_t, 3>> palette;
    if (bits <= 8) {
        if (bits != 1 && bits != 4 && bits != 8) {
            return std::nullopt;
        }
        const std::size_t count = paletteCount != 0 ? std::min<std::uint32_t>(paletteCount, 256)
                                                    : (std::size_t{1} << bits);
        const std::size_t at = 14 + headerSize;
        if (at + count * paletteEntry > size) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const auto* entry = data + at + i * paletteEntry;
            palette.push_back({entry[2], entry[1], entry[0]});
        }
    } else if (bits != 16 && bits != 24 && bits != 32) {
        return std::nullopt;
    }
    const std::size_t rowBytes = ((static_cast<std::size_t>(width) * bits + 31) / 32) * 4;
    if (pixelOffset > size || rowBytes * static_cast<std::size_t>(height) > size - pixelOffset) {
        return std::nullopt;
    }
    Shrinker shrinker(static_cast<int>(width), static_cast<int>(height));
    std::vector<std::uint8_t> line(static_cast<std::size_t>(width) * 3);
    for (long long y = 0; y < height; ++y) {
        const auto* row =
            data + pixelOffset + rowBytes * static_cast<std::size_t>(topDown ? y : height - 1 - y);
        auto* out = line.data();
        for (long long x = 0; x < width; ++x) {
            std::uint8_t rgb[3] = {0, 0, 0};
            if (bits <= 8) {
                const auto bit = static_cast<std::size_t>(x) * bits;
                const unsigned index = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1U << bits) - 1U);
                if (index >= palette.size()) {
                    return std::nullopt;
                }
                std::copy(palette[index].begin(), palette[index].end(), rgb);
            } else if (bits == 24) {
                rgb[0] = row[x * 3 + 2];
                rgb[1] = row[x * 3 + 1];
                rgb[2] = row[x * 3];
            } else {
                const std::uint32_t pixel = bits == 16 ? le16(row + x * 2) : le32(row + x * 4);
                const unsigned opacity = alpha ? masked(pixel, masks[3]) : 255;
                for (int c = 0; c < 3; ++c) {
                    rgb[c] = overWhite(masked(pixel, masks[c]), opacity);
                }
            }
            std::copy(rgb, rgb + 3, out + x * 3);
        }
        shrinker.addRow(line.data());
    }
    return shrinker.finish();
}

std::optional<Bitmap> decode(std::string_view bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP") {
        return decodeWebP(bytes);
    }
    if (bytes.starts_with("GIF87a") || bytes.starts_with("GIF89a")) {
        return decodeGif(bytes);
    }
    if (bytes.starts_with(std::string_view("II*\0", 4)) ||
        bytes.starts_with(std::string_view("MM\0*", 4))) {
        return decodeTiff(bytes);
    }
    if (bytes.starts_with("BM")) {
        return decodeBmp(bytes);
    }
    if (bytes.size() >= 12 && bytes.substr(4, 4) == "ftyp" &&
        heif_check_filetype(data, static_cast<int>(std::min<std::size_t>(bytes.size(), 64))) !=
            heif_filetype_no) {
        return decodeHeif(bytes);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> toPNG(std::string_view bytes) {
    const auto bitmap = decode(bytes);
    if (!bitmap) {
        return std::nullopt;
    }
    return PngEncoder::encodeRGB(bitmap->rgb, bitmap->width, bitmap->height,
                                 static_cast<std::size_t>(bitmap->width) * 3);
}

}  // namespace vask::ImageConverter
