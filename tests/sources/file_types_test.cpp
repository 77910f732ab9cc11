#include "sources/file_types.h"

#include <gtest/gtest.h>

namespace vask {
namespace {

TEST(FileTypesTest, ExtensionDecidesTheFamilyAndMimeType) {
    using F = FileType::Family;
    struct Case {
        std::string path;
        std::optional<F> family;
        std::string mime;
    };
    const std::vector<Case> cases = {
        {"/d/report.pdf", F::pdf, "application/pdf"},
        {"/d/REPORT.PDF", F::pdf, "application/pdf"},  // case does not matter
        {"/d/photo.JPG", F::image, "image/jpeg"},
        {"/d/notes.txt", F::text, "text/plain"},
        {"/d/main.cpp", F::sourceCode, "text/x-c++src"},
        {"/d/letter.rtf", F::document, "application/rtf"},
        {"/d/archive.tar.gz", std::nullopt, ""},  // only the last extension counts
        {"/d/.bashrc", std::nullopt, ""},         // a dot file has no extension
        {"/d/Makefile", std::nullopt, ""},
        {"/d/trailing.", std::nullopt, ""},
        {"/d.pdf/notes", std::nullopt, ""},  // a folder's extension is not the file's
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto type = FileTypes::forPath(c.path);
        ASSERT_EQ(type.has_value(), c.family.has_value());
        if (type) {
            EXPECT_EQ(type->family, *c.family);
            EXPECT_EQ(type->mimeType, c.mime);
            EXPECT_FALSE(type->kind.empty());
        }
    }
}

}  // namespace
}  // namespace vask
