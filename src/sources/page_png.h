#pragma once

#include <cstddef>
#include <stop_token>
#include <string_view>

// What the page drawing program hands back, checked before it is taken for a page.
namespace vask::PagePng {

// What checking an answer found: whether it is a whole PNG of a page, whether a stop request
// ended the check first, and the most memory the check held at once.
struct Check {
    bool page = false;
    bool stopped = false;
    std::size_t peakBytes = 0;
};

// The memory a check may hold at once: a page's widest rows and the inflater's window take a
// small part of it. The page is refused when its check would need more.
inline constexpr std::size_t memoryBoundBytes = std::size_t{1024} * 1024;

// The deflate blocks the image data's stream may have, every one counted at its end (the last
// too): blocksAhead, and one more for each bytesPerBlock of rows inflated so far. zlib at its
// default memory level, at each of its levels and strategies, ends a block after 16,383 codes at
// the fewest (as many bytes when nothing repeats) or at a flush, and libpng, the drawer's
// encoder, flushes only at the end; the bound leaves a quarter of that, and blocks for a stream
// that ends with a flush and an empty last block. A block costs the inflater up to a few
// microseconds to set up whether it brings rows or not, so as many as the bound admits cost a
// few times what the rows cost at most.
inline constexpr std::size_t blocksAhead = 8;
inline constexpr std::size_t bytesPerBlock = 4096;

// Whether `bytes` are a PNG of a page, whole: both sides within the drawing's longer side, every
// chunk intact (its CRC checked, text and private chunks as much as the image's own), and the
// image data exactly its rows: one zlib stream, inflated one row at a time (each row's filter
// one of PNG's), that ends with the last row, with no byte after its end and no image data
// chunk after it, and nothing after IEND. The stream is refused at the first byte it would
// inflate past the rows and at the first block past those its rows admit (an empty block
// brings nothing), and image data longer than its rows could take stored uncompressed is
// refused before it is inflated, so the check costs time in proportion to the page's own rows
// whatever the answer carries. Chunks beside the image (text, colour profiles, anything
// unknown) are passed over with only their CRC computed: however far they would inflate, they
// cost no more, and one longer than 64 KiB refuses the page. Every allocation of the check
// counts against `memoryBound` (memoryBoundBytes but in tests), past which the page is
// refused, and the stop is looked at before each chunk and each step of the inflater (at most
// a row out, 64 KiB in).
Check check(std::string_view bytes, std::stop_token stop = {},
            std::size_t memoryBound = memoryBoundBytes);

}  // namespace vask::PagePng
