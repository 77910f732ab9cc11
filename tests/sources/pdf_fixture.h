#pragma once

#include <string>
#include <vector>

#include "sample-pdf/sample_pdf.h"

namespace vask::test {

// A minimal valid PDF of `pages` blank pages with a media box of `width` x `height` points, with
// a correct cross-reference table so that no repair path is taken.
inline std::string minimalPdf(int pages, int width = 612, int height = 792) {
    std::vector<std::string> objects;
    objects.emplace_back("<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (int i = 0; i < pages; ++i) {
        kids += std::to_string(3 + i) + " 0 R ";
    }
    objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) +
                      " >>");
    for (int i = 0; i < pages; ++i) {
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(width) +
                          " " + std::to_string(height) + "] >>");
    }
    return sample::pdfFromObjects(objects);
}

// One page of 612 x 792 points whose content stream is `content`, drawn over the page; `more`
// are objects after it (numbered from 5), for the page's entries to name.
inline std::string contentPdf(const std::string& content,
                              const std::string& box = "/MediaBox [0 0 612 792]",
                              const std::vector<std::string>& more = {}) {
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R " + box + " /Contents 4 0 R >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
    };
    objects.insert(objects.end(), more.begin(), more.end());
    return sample::pdfFromObjects(objects);
}

// One page whose content stream is `content`, with `font` (a font dictionary) as its font /F1.
inline std::string fontPagePdf(const std::string& content, const std::string& font) {
    return contentPdf(content, "/MediaBox [0 0 612 792] /Resources << /Font << /F1 5 0 R >> >>",
                      {font});
}

// One page that shows `text` in the standard font `baseFont` ("Helvetica", "Times-Roman", ...),
// not embedded: the reader finds a font for it on the system.
inline std::string standardFontPdf(const std::string& baseFont, const std::string& text) {
    return fontPagePdf("BT /F1 36 Tf 72 700 Td (" + text + ") Tj ET",
                       "<< /Type /Font /Subtype /Type1 /BaseFont /" + baseFont + " >>");
}

// One page of `lines` lines of Japanese (hiragana, UTF-16 code units in hex) in a CID font that
// is not embedded: the reader finds a font through fontconfig and maps the text with poppler's
// character maps.
inline std::string japaneseTextPdf(int lines) {
    std::string content = "BT /F1 24 Tf 30 TL 50 740 Td\n";
    for (int line = 0; line < lines; ++line) {
        content += "<30423044304630483093304B304D304F30513053> '\n";
    }
    content += "ET";
    return fontPagePdf(
        content,
        "<< /Type /Font /Subtype /Type0 /BaseFont /MS-Mincho /Encoding /UniJIS-UCS2-H "
        "/DescendantFonts [<< /Type /Font /Subtype /CIDFontType0 /BaseFont /MS-Mincho "
        "/CIDSystemInfo << /Registry (Adobe) /Ordering (Japan1) /Supplement 2 >> "
        "/FontDescriptor << /Type /FontDescriptor /FontName /MS-Mincho /Flags 6 "
        "/FontBBox [0 -141 1000 859] /ItalicAngle 0 /Ascent 859 /Descent -141 /CapHeight 700 "
        "/StemV 80 >> >>] >>");
}

// A file of a couple of hundred bytes whose cross-reference section claims `entries` entries: a
// reader that believes it sets aside room for all of them.
inline std::string claimedXrefPdf(std::size_t entries) {
    std::string out = "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
    const auto xref = out.size();
    out += "xref\n0 " + std::to_string(entries) + "\n0000000000 65535 f \ntrailer\n<< /Size " +
           std::to_string(entries) + " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) +
           "\n%%EOF\n";
    return out;
}

// A page that saves the graphics state `count` times without restoring it: each save copies the
// whole state, so drawing it takes memory in proportion.
inline std::string nestedSavesPdf(std::size_t count) {
    std::string content;
    content.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        content += "q\n";
    }
    return contentPdf(content);
}

// A page of `count` long lines crossing it, each stroked on its own with a wide pen: drawing
// time grows with every line.
inline std::string manyLinesPdf(std::size_t count) {
    std::string content = "20 w\n";
    for (std::size_t i = 0; i < count; ++i) {
        const auto y = std::to_string(i % 792);
        content += "0 " + y + " m 612 " + std::to_string(792 - i % 792) + " l S\n";
    }
    return contentPdf(content);
}

// `pages` pages that all draw one content stream of 40,000 long, wide lines: each page takes
// seconds to draw, the file stays under a megabyte.
inline std::string slowPagesPdf(std::size_t pages) {
    std::string content = "20 w\n";
    for (std::size_t i = 0; i < 40'000; ++i) {
        content +=
            "0 " + std::to_string(i % 792) + " m 612 " + std::to_string(792 - i % 792) + " l S\n";
    }
    std::vector<std::string> objects{"<< /Type /Catalog /Pages 2 0 R >>", ""};
    std::string kids;
    const auto contents = std::to_string(3 + pages);
    for (std::size_t i = 0; i < pages; ++i) {
        kids += std::to_string(3 + i) + " 0 R ";
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents " +
                          contents + " 0 R >>");
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>";
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
                      "\nendstream");
    return sample::pdfFromObjects(objects);
}

// Width and height from a PNG's header; {0, 0} when the bytes are not a PNG.
inline std::pair<int, int> pngSize(const std::string& png) {
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) {
        return {0, 0};
    }
    const auto word = [&](std::size_t at) {
        return (static_cast<unsigned char>(png[at]) << 24) |
               (static_cast<unsigned char>(png[at + 1]) << 16) |
               (static_cast<unsigned char>(png[at + 2]) << 8) |
               static_cast<unsigned char>(png[at + 3]);
    };
    return {word(16), word(20)};
}

}  // namespace vask::test
