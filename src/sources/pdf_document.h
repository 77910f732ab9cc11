#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace poppler {
class document;
}

namespace vask {

// A PDF opened with poppler, rendered page by page into PNG images whose longer side is
// 2000 pixels. A page is drawn as it is shown: its crop box, turned by its /Rotate.
class PdfDocument {
  public:
    class RenderError : public Error {
      public:
        explicit RenderError(const std::string& message) : Error(message) {}
    };

    struct PixelSize {
        int width = 0;
        int height = 0;
        bool operator==(const PixelSize&) const = default;
    };

    static constexpr double longerSidePixels = 2000.0;

    // Nothing when the file cannot be opened as a PDF (missing, damaged or locked).
    static std::optional<PdfDocument> open(const std::filesystem::path& path);
    // The same for a PDF already read into memory.
    static std::optional<PdfDocument> fromData(std::string_view bytes);

    PdfDocument(PdfDocument&&) noexcept;
    PdfDocument& operator=(PdfDocument&&) noexcept;
    ~PdfDocument();

    int pageCount() const;

    // PNG bytes of the page at `index` (from 0) drawn over white; nothing when there is no such
    // page. Throws RenderError when the page cannot be drawn or encoded.
    std::optional<std::string> renderPagePNG(int index) const;

    // poppler's complaints about damaged files are dropped rather than logged (the page drawing
    // program, whose messages nobody reads). Before the first document is opened.
    static void discardPopplerMessages();

    // The bitmap size for a page of `width` x `height` points as shown: scaled so that the longer
    // side becomes 2000 pixels, each side rounded up and at least 1.
    static PixelSize pixelSize(double width, double height);

  private:
    explicit PdfDocument(std::unique_ptr<poppler::document> document);
    std::unique_ptr<poppler::document> document_;
};

}  // namespace vask
