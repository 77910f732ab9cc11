#include "sources/page_png.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "sources/pdf_document.h"

namespace vask::PagePng {
namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);
constexpr auto kLongestSide = static_cast<std::uint32_t>(PdfDocument::longerSidePixels);
// The longest chunk beside the image data a page may carry: none is kept, but one longer than
// this is no page's.
constexpr std::size_t kChunkBytes = std::size_t{64} * 1024;
// The most image data handed to the inflater at once.
constexpr std::size_t kInflateStepBytes = std::size_t{64} * 1024;
// What image data may take past its rows stored uncompressed: a quarter more (an encoder's codes
// for bytes that do not compress), and 64 KiB (the stream's own bytes, flushes).
constexpr std::size_t kImageDataSlack = std::size_t{64} * 1024;

// The answer is not a page.
struct NotAPage {};
// A stop request ended the check.
struct Stopped {};

[[noreturn]] void refuse() {
    throw NotAPage{};
}

void lookAt(const std::stop_token& stop) {
    if (stop.stop_requested()) {
        throw Stopped{};
    }
}

// The memory of one check, every allocation of the inflater and every row counted: what passes
// the bound is not given.
struct Memory {
    std::size_t bound = memoryBoundBytes;
    std::size_t held = 0;
    std::size_t peak = 0;

    bool take(std::size_t size) {
        if (size > bound - held) {
            return false;
        }
        held += size;
        peak = std::max(peak, held);
        return true;
    }
    void give(std::size_t size) { held -= size; }
};

// Each block of the inflater carries its size ahead of what zlib gets, aligned for anything.
constexpr std::size_t kBlockHeader = alignof(std::max_align_t);

voidpf allocateCounted(voidpf opaque, uInt items, uInt size) {
    auto* memory = static_cast<Memory*>(opaque);
    const auto bytes = std::size_t{items} * size;
    if (!memory->take(bytes)) {
        return Z_NULL;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(kBlockHeader + bytes));
    if (block == nullptr) {
        memory->give(bytes);
        return Z_NULL;
    }
    std::memcpy(block, &bytes, sizeof bytes);
    return block + kBlockHeader;
}

void freeCounted(voidpf opaque, voidpf pointer) {
    if (pointer == Z_NULL) {
        return;
    }
    auto* block = static_cast<unsigned char*>(pointer) - kBlockHeader;
    std::size_t bytes = 0;
    std::memcpy(&bytes, block, sizeof bytes);
    static_cast<Memory*>(opaque)->give(bytes);
    std::free(block);
}

std::uint32_t bigEndian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (const char byte : bytes.substr(0, 4)) {
        value = (value << 8) | static_cast<unsigned char>(byte);
    }
    return value;
}

enum ColourType : int { grey = 0, rgb = 2, palette = 3, greyAlpha = 4, rgbAlpha = 6 };

// What IHDR says of the image.
struct Header {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int bitDepth = 0;
    int colourType = 0;
    bool interlaced = false;

    std::size_t bitsPerPixel() const {
        static constexpr std::array<int, 7> kChannels = {1, 0, 3, 1, 2, 0, 4};
        return static_cast<std::size_t>(kChannels[static_cast<std::size_t>(colourType)]) *
               static_cast<std::size_t>(bitDepth);
    }
    std::size_t rowBytes(std::uint32_t pixels) const {
        return (std::size_t{pixels} * bitsPerPixel() + 7) / 8;
    }
};

bool validDepth(int colourType, int bitDepth) {
    switch (colourType) {
        case grey:
            return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 ||
                   bitDepth == 16;
        case palette:
            return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
        case rgb:
        case greyAlpha:
        case rgbAlpha:
            return bitDepth == 8 || bitDepth == 16;
        default:
            return false;
    }
}

Header readHeader(std::string_view data) {
    if (data.size() != 13) {
        refuse();
    }
    Header header;
    header.width = bigEndian(data);
    header.height = bigEndian(data.substr(4));
    header.bitDepth = static_cast<unsigned char>(data[8]);
    header.colourType = static_cast<unsigned char>(data[9]);
    const auto compression = data[10];
    const auto filter = data[11];
    const auto interlace = data[12];
    if (header.width == 0 || header.width > kLongestSide || header.height == 0 ||
        header.height > kLongestSide || !validDepth(header.colourType, header.bitDepth) ||
        compression != 0 || filter != 0 || (interlace != 0 && interlace != 1)) {
        refuse();
    }
    header.interlaced = interlace == 1;
    return header;
}

// The size in pixels of one pass over the image: the whole of it, or one of Adam7's seven.
struct Pass {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The passes that have pixels, in their order.
std::vector<Pass> passesOf(const Header& header) {
    if (!header.interlaced) {
        return {{header.width, header.height}};
    }
    static constexpr std::array<std::uint32_t, 7> kStartX = {0, 4, 0, 2, 0, 1, 0};
    static constexpr std::array<std::uint32_t, 7> kStepX = {8, 8, 4, 4, 2, 2, 1};
    static constexpr std::array<std::uint32_t, 7> kStartY = {0, 0, 4, 0, 2, 0, 1};
    static constexpr std::array<std::uint32_t, 7> kStepY = {8, 8, 8, 4, 4, 2, 2};
    const auto along = [](std::uint32_t size, std::uint32_t start, std::uint32_t step) {
        return size > start ? (size - start + step - 1) / step : 0;
    };
    std::vector<Pass> passes;
    for (std::size_t i = 0; i < kStepX.size(); ++i) {
        const Pass pass{along(header.width, kStartX[i], kStepX[i]),
                        along(header.height, kStartY[i], kStepY[i])};
        if (pass.width > 0 && pass.height > 0) {
            passes.push_back(pass);
        }
    }
    return passes;
}

// The image data of a page: its rows, inflated one at a time and looked at as they come.
class ImageData {
  public:
    ImageData(const Header& header, Memory& memory)
        : header_(header), memory_(memory), passes_(passesOf(header)) {
        std::size_t rowsBytes = 0;
        for (const auto& pass : passes_) {
            const auto bytes = header.rowBytes(pass.width) + 1;
            rowCapacity_ = std::max(rowCapacity_, bytes);
            rowsBytes += bytes * pass.height;
        }
        compressedBound_ = rowsBytes + rowsBytes / 4 + kImageDataSlack;
        if (!memory_.take(rowCapacity_)) {
            refuse();
        }
        row_.resize(rowCapacity_);
        stream_.zalloc = allocateCounted;
        stream_.zfree = freeCounted;
        stream_.opaque = &memory_;
        if (inflateInit(&stream_) != Z_OK) {
            memory_.give(rowCapacity_);
            refuse();
        }
    }
    ~ImageData() {
        inflateEnd(&stream_);
        memory_.give(rowCapacity_);
    }
    ImageData(const ImageData&) = delete;
    ImageData& operator=(const ImageData&) = delete;

    // Inflates the data of one image data chunk; refuses the page at the first byte past the
    // rows, at input past the stream's end, and at any image data chunk after it.
    void add(std::string_view data, const std::stop_token& stop) {
        if (ended_) {
            refuse();
        }
        compressed_ += data.size();
        if (compressed_ > compressedBound_) {
            refuse();
        }
        while (!data.empty()) {
            const auto step = data.substr(0, kInflateStepBytes);
            data.remove_prefix(step.size());
            stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(step.data()));
            stream_.avail_in = static_cast<uInt>(step.size());
            while (stream_.avail_in > 0) {
                lookAt(stop);
                inflateStep();
                if (ended_ && (stream_.avail_in > 0 || !data.empty())) {
                    refuse();
                }
            }
        }
    }

    // Whether the stream has ended, with the last row.
    bool ended() const { return ended_; }

  private:
    // Inflates at most the rest of the row under way or, the rows done, one byte.
    void inflateStep() {
        const bool rowsDone = pass_ == passes_.size();
        std::uint8_t past = 0;
        if (rowsDone) {
            stream_.next_out = &past;
            stream_.avail_out = 1;
        } else {
            stream_.next_out = row_.data() + filled_;
            stream_.avail_out = static_cast<uInt>(rowSize() - filled_);
        }
        const auto room = stream_.avail_out;
        // Z_BLOCK: the inflater also returns at each block's end, the last block's too (bit 7 of
        // data_type set), and once after the stream's header. Every block counts against what
        // the rows inflated so far admit: an empty one costs as much to set up as one of rows.
        const int result = inflate(&stream_, Z_BLOCK);
        if (result != Z_OK && result != Z_STREAM_END) {
            refuse();
        }
        if ((stream_.data_type & 128) != 0 && std::exchange(streamHeaderRead_, true) &&
            ++blocks_ > blocksAhead + stream_.total_out / bytesPerBlock) {
            refuse();
        }
        const auto inflated = room - stream_.avail_out;
        if (rowsDone) {
            if (inflated > 0) {
                refuse();
            }
        } else {
            filled_ += inflated;
            if (filled_ == rowSize()) {
                rowDone();
            }
        }
        if (result == Z_STREAM_END) {
            if (pass_ != passes_.size()) {
                refuse();
            }
            ended_ = true;
        }
    }

    std::size_t rowSize() const { return header_.rowBytes(passes_[pass_].width) + 1; }

    void rowDone() {
        if (row_[0] > 4) {
            // No filter of PNG's.
            refuse();
        }
        filled_ = 0;
        if (++y_ == passes_[pass_].height) {
            y_ = 0;
            ++pass_;
        }
    }

    Header header_;
    Memory& memory_;
    std::vector<Pass> passes_;
    std::size_t rowCapacity_ = 0;
    std::size_t compressedBound_ = 0;
    std::size_t compressed_ = 0;
    std::vector<std::uint8_t> row_;
    z_stream stream_{};
    std::size_t pass_ = 0;
    std::uint32_t y_ = 0;
    std::size_t filled_ = 0;
    bool ended_ = false;
    bool streamHeaderRead_ = false;
    // The blocks ended so far.
    std::size_t blocks_ = 0;
};

// Whether a transparency chunk of `size` bytes fits a page of `colourType`: one grey or RGB
// sample, or the alphas of at most the palette's entries; none for a page with alpha.
bool transparencyFits(int colourType, std::size_t size, std::size_t paletteEntries) {
    switch (colourType) {
        case grey:
            return size == 2;
        case rgb:
            return size == 6;
        case palette:
            return size > 0 && size <= paletteEntries;
        default:
            return false;
    }
}

bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Walks the chunks of `bytes`; returns at a whole page's end and refuses anything else.
void walk(std::string_view bytes, const std::stop_token& stop, Memory& memory) {
    if (!bytes.starts_with(kSignature)) {
        refuse();
    }
    bytes.remove_prefix(kSignature.size());
    std::optional<Header> header;
    std::size_t paletteEntries = 0;
    bool transparency = false;
    std::optional<ImageData> image;
    for (;;) {
        lookAt(stop);
        // Length, type, data and CRC.
        if (bytes.size() < 12) {
            refuse();
        }
        const auto length = bigEndian(bytes);
        if (length > bytes.size() - 12) {
            refuse();
        }
        const auto type = bytes.substr(4, 4);
        const auto data = bytes.substr(8, length);
        if (!std::all_of(type.begin(), type.end(), isLetter)) {
            refuse();
        }
        // A critical chunk no page has, or a chunk beside the image longer than a page's, is
        // refused before its bytes are read.
        const bool ofTheImage =
            type == "IHDR" || type == "PLTE" || type == "tRNS" || type == "IDAT" || type == "IEND";
        if (!ofTheImage && ((type[0] & 0x20) == 0 || length > kChunkBytes)) {
            refuse();
        }
        const auto crc = crc32(crc32(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(type.data()),
                               static_cast<uInt>(4 + length));
        if (crc != bigEndian(bytes.substr(8 + length))) {
            refuse();
        }
        bytes.remove_prefix(12 + length);

        if (!header && type != "IHDR") {
            refuse();
        }
        // The image data chunks come one after the other and the stream ends in them: one after
        // another chunk is past the stream's end.
        if (image && type != "IDAT" && !image->ended()) {
            refuse();
        }
        if (type == "IHDR") {
            if (header) {
                refuse();
            }
            header = readHeader(data);
        } else if (type == "PLTE") {
            // Not in a grey page; one to 256 colours.
            const auto entries = data.size() / 3;
            if (image || paletteEntries > 0 || (header->colourType & 2) == 0 ||
                data.size() % 3 != 0 || entries == 0 || entries > 256) {
                refuse();
            }
            paletteEntries = entries;
        } else if (type == "tRNS") {
            const bool fits = transparencyFits(header->colourType, data.size(), paletteEntries);
            if (image || transparency || !fits) {
                refuse();
            }
            transparency = true;
        } else if (type == "IDAT") {
            if (!image) {
                if (header->colourType == palette && paletteEntries == 0) {
                    refuse();
                }
                image.emplace(*header, memory);
            }
            image->add(data, stop);
        } else if (type == "IEND") {
            if (!image || !data.empty() || !bytes.empty()) {
                refuse();
            }
            return;
        }
    }
}

}  // namespace

Check check(std::string_view bytes, std::stop_token stop, std::size_t memoryBound) {
    Check result;
    Memory memory;
    memory.bound = memoryBound;
    try {
        walk(bytes, stop, memory);
        result.page = true;
    } catch (const NotAPage&) {
    } catch (const Stopped&) {
        result.stopped = true;
    }
    result.peakBytes = memory.peak;
    return result;
}

}  // namespace vask::PagePng
