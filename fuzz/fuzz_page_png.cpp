// Feeds arbitrary bytes to the page check as the drawing program's answer. Whatever the bytes,
// the check ends without a stop, never holds more than its memory bound, and takes a page only
// when the bytes open with PNG's signature.
//
// The mutator keeps what it changes within intact chunks, so that the fuzzer gets past the CRCs
// to the image data: most of the time each whole chunk's CRC is computed again after libFuzzer's
// own change, and a quarter of the time the inflated image data is changed instead and deflated
// again into one image data chunk. One change in eight keeps its CRCs as they came, so that
// damaged chunks are still tried.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sources/page_png.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);
// The most image data the mutator inflates to change: more than any seed's rows.
constexpr std::size_t kRowsBytes = std::size_t{1} << 20;

std::uint32_t bigEndian(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

void putBigEndian(std::uint8_t* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

// A chunk of the answer: where it starts, and its length field.
struct Chunk {
    std::size_t at = 0;
    std::uint32_t length = 0;
};

// The whole chunks after the signature, up to the first that does not fit.
std::vector<Chunk> chunksOf(const std::uint8_t* data, std::size_t size) {
    std::vector<Chunk> chunks;
    if (size < kSignature.size()) {
        return chunks;
    }
    for (std::size_t at = kSignature.size(); size - at >= 12;) {
        const auto length = bigEndian(data + at);
        if (length > size - at - 12) {
            break;
        }
        chunks.push_back({at, length});
        at += 12 + std::size_t{length};
    }
    return chunks;
}

// Computes each whole chunk's CRC again.
void fixCrcs(std::uint8_t* data, std::size_t size) {
    for (const auto& chunk : chunksOf(data, size)) {
        const auto crc =
            crc32(crc32(0, Z_NULL, 0), data + chunk.at + 4, static_cast<uInt>(chunk.length) + 4);
        putBigEndian(data + chunk.at + 8 + chunk.length, static_cast<std::uint32_t>(crc));
    }
}

// Inflates the image data chunks' stream, changes what it inflates to with libFuzzer's mutator
// and deflates it again at `level` into one image data chunk where the first one was; false
// when there is no stream to change or the answer would pass `maxSize`.
bool mutateRows(std::uint8_t* data, std::size_t& size, std::size_t maxSize, int level) {
    std::string stream;
    std::size_t first = 0;
    std::size_t last = 0;
    for (const auto& chunk : chunksOf(data, size)) {
        if (std::memcmp(data + chunk.at + 4, "IDAT", 4) == 0) {
            if (first == 0) {
                first = chunk.at;
            }
            stream.append(reinterpret_cast<const char*>(data + chunk.at + 8), chunk.length);
            last = chunk.at + 12 + chunk.length;
        }
    }
    if (first == 0) {
        return false;
    }
    // One buffer for every run: the fuzzer runs one input at a time.
    static std::vector<std::uint8_t> rows(kRowsBytes);
    uLongf rowsSize = static_cast<uLongf>(rows.size());
    uLong streamSize = static_cast<uLong>(stream.size());
    const int inflated = uncompress2(rows.data(), &rowsSize,
                                     reinterpret_cast<const Bytef*>(stream.data()), &streamSize);
    if (inflated != Z_OK && inflated != Z_BUF_ERROR && inflated != Z_DATA_ERROR) {
        return false;
    }
    rowsSize = LLVMFuzzerMutate(rows.data(), rowsSize, rows.size());
    std::vector<std::uint8_t> deflated(compressBound(rowsSize));
    uLongf deflatedSize = static_cast<uLongf>(deflated.size());
    if (compress2(deflated.data(), &deflatedSize, rows.data(), rowsSize, level) != Z_OK) {
        return false;
    }
    const std::size_t after = size - last;
    const std::size_t newSize = first + 12 + deflatedSize + after;
    if (newSize > maxSize) {
        return false;
    }
    std::vector<std::uint8_t> out(newSize);
    std::memcpy(out.data(), data, first);
    putBigEndian(out.data() + first, static_cast<std::uint32_t>(deflatedSize));
    std::memcpy(out.data() + first + 4, "IDAT", 4);
    std::memcpy(out.data() + first + 8, deflated.data(), deflatedSize);
    std::memcpy(out.data() + first + 12 + deflatedSize, data + last, after);
    std::memcpy(data, out.data(), newSize);
    size = newSize;
    fixCrcs(data, size);
    return true;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
    std::minstd_rand random(seed);
    const auto choice = random() % 8;
    if (choice < 2 && mutateRows(data, size, maxSize, static_cast<int>(random() % 10))) {
        return size;
    }
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (choice != 7) {
        fixCrcs(data, size);
    }
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto check = vask::PagePng::check(bytes);
    if (check.stopped || check.peakBytes > vask::PagePng::memoryBoundBytes ||
        (check.page && !bytes.starts_with(kSignature))) {
        std::abort();
    }
    return 0;
}
