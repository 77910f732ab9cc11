#include "sources/pdf_document.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/logger.h"
#include "sources/png_encoder.h"

namespace vask {
namespace {

// poppler writes its complaints about damaged files to stderr; they belong in our log.
void logPopplerMessage(const std::string& message, void*) {
    static const Logger logger("ai.vask.VaskCore", "file-access");
    logger.debug("poppler: " + message);
}

}  // namespace

PdfDocument::PdfDocument(std::unique_ptr<poppler::document> document)
    : document_(std::move(document)) {}
PdfDocument::PdfDocument(PdfDocument&&) noexcept = default;
PdfDocument& PdfDocument::operator=(PdfDocument&&) noexcept = default;
PdfDocument::~PdfDocument() = default;

namespace {

std::once_flag popplerMessagesRouted;

void routePopplerMessages(poppler::debug_func route = logPopplerMessage) {
    std::call_once(popplerMessagesRouted,
                   [route] { poppler::set_debug_error_function(route, nullptr); });
}

}  // namespace

void PdfDocument::discardPopplerMessages() {
    routePopplerMessages([](const std::string&, void*) {});
}

std::optional<PdfDocument> PdfDocument::open(const std::filesystem::path& path) {
    routePopplerMessages();
    std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path.string()));
    if (!document || document->is_locked()) {
        return std::nullopt;
    }
    return PdfDocument(std::move(document));
}

std::optional<PdfDocument> PdfDocument::fromData(std::string_view bytes) {
    routePopplerMessages();
    // poppler takes the array's contents over and keeps them for the document's life.
    poppler::byte_array data(bytes.begin(), bytes.end());
    std::unique_ptr<poppler::document> document(poppler::document::load_from_data(&data));
    if (!document || document->is_locked()) {
        return std::nullopt;
    }
    return PdfDocument(std::move(document));
}

int PdfDocument::pageCount() const {
    return document_->pages();
}

PdfDocument::PixelSize PdfDocument::pixelSize(double width, double height) {
    const double scale = std::min(longerSidePixels / width, longerSidePixels / height);
    return {std::max(1, static_cast<int>(std::ceil(width * scale))),
            std::max(1, static_cast<int>(std::ceil(height * scale)))};
}

std::optional<std::string> PdfDocument::renderPagePNG(int index) const {
    if (index < 0 || index >= pageCount()) {
        return std::nullopt;
    }
    const std::unique_ptr<poppler::page> page(document_->create_page(index));
    if (!page) {
        return std::nullopt;
    }
    // poppler draws the crop box turned by the page's /Rotate, so that is what the bitmap holds.
    const auto box = page->page_rect(poppler::crop_box);
    double shownWidth = box.width();
    double shownHeight = box.height();
    if (!(shownWidth > 0) || !(shownHeight > 0)) {
        throw RenderError("page has an empty crop box");
    }
    const auto orientation = page->orientation();
    if (orientation == poppler::page::landscape || orientation == poppler::page::seascape) {
        std::swap(shownWidth, shownHeight);
    }
    const auto size = pixelSize(shownWidth, shownHeight);
    const double scale = std::min(longerSidePixels / shownWidth, longerSidePixels / shownHeight);

    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing);
    renderer.set_paper_color(0xffffffff);
    renderer.set_image_format(poppler::image::format_argb32);
    const auto image =
        renderer.render_page(page.get(), 72.0 * scale, 72.0 * scale, 0, 0, size.width, size.height);
    if (!image.is_valid() || image.width() != size.width || image.height() != size.height) {
        throw RenderError("page could not be drawn");
    }

    // argb32 is one native-endian 32-bit word per pixel; the PNG gets packed RGB (the page is
    // drawn over opaque white, so alpha carries nothing).
    const auto width = static_cast<std::size_t>(size.width);
    std::vector<std::uint8_t> rgb(width * 3 * static_cast<std::size_t>(size.height));
    const auto* data = reinterpret_cast<const std::uint8_t*>(image.const_data());
    for (int y = 0; y < size.height; ++y) {
        const auto* row =
            data + static_cast<std::size_t>(image.bytes_per_row()) * static_cast<std::size_t>(y);
        auto* out = rgb.data() + width * 3 * static_cast<std::size_t>(y);
        for (std::size_t x = 0; x < width; ++x) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, row + x * 4, 4);
            out[x * 3] = static_cast<std::uint8_t>(pixel >> 16);
            out[x * 3 + 1] = static_cast<std::uint8_t>(pixel >> 8);
            out[x * 3 + 2] = static_cast<std::uint8_t>(pixel);
        }
    }
    auto png = PngEncoder::encodeRGB(rgb, size.width, size.height, width * 3);
    if (!png) {
        throw RenderError("PNG encoding failed");
    }
    return png;
}

}  // namespace vask
