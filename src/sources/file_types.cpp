#include "sources/file_types.h"

#include <algorithm>
#include <array>
#include <filesystem>

#include "platform/text.h"

namespace vask {
namespace {

struct Entry {
    std::string_view extension;
    FileType type;
};

using F = FileType::Family;

// Sorted by extension for binary search.
constexpr std::array kTable = std::to_array<Entry>({
    {"bash", {F::sourceCode, "Bash script", "text/x-shellscript"}},
    {"bmp", {F::image, "BMP image", "image/bmp"}},
    {"c", {F::sourceCode, "C source", "text/x-c"}},
    {"cc", {F::sourceCode, "C++ source", "text/x-c++src"}},
    {"cpp", {F::sourceCode, "C++ source", "text/x-c++src"}},
    {"cs", {F::sourceCode, "C# source", "text/x-csharp"}},
    {"css", {F::sourceCode, "CSS style sheet", "text/css"}},
    {"csv", {F::text, "CSV document", "text/csv"}},
    {"doc", {F::document, "Word document", "application/msword"}},
    {"docx",
     {F::document, "Word document",
      "application/vnd.openxmlformats-officedocument.wordprocessingml.document"}},
    {"gif", {F::image, "GIF image", "image/gif"}},
    {"go", {F::sourceCode, "Go source", "text/x-go"}},
    {"h", {F::sourceCode, "C header", "text/x-chdr"}},
    {"heic", {F::image, "HEIC image", "image/heic"}},
    {"hpp", {F::sourceCode, "C++ header", "text/x-c++hdr"}},
    {"htm", {F::document, "HTML document", "text/html"}},
    {"html", {F::document, "HTML document", "text/html"}},
    {"ini", {F::text, "configuration file", "text/plain"}},
    {"java", {F::sourceCode, "Java source", "text/x-java"}},
    {"jpeg", {F::image, "JPEG image", "image/jpeg"}},
    {"jpg", {F::image, "JPEG image", "image/jpeg"}},
    {"js", {F::sourceCode, "JavaScript source", "text/javascript"}},
    {"json", {F::sourceCode, "JSON document", "application/json"}},
    {"kt", {F::sourceCode, "Kotlin source", "text/x-kotlin"}},
    {"log", {F::text, "log file", "text/plain"}},
    {"m", {F::sourceCode, "Objective-C source", "text/x-objcsrc"}},
    {"markdown", {F::text, "Markdown document", "text/markdown"}},
    {"md", {F::text, "Markdown document", "text/markdown"}},
    {"mm", {F::sourceCode, "Objective-C++ source", "text/x-objc++src"}},
    {"odt", {F::document, "OpenDocument text", "application/vnd.oasis.opendocument.text"}},
    {"pdf", {F::pdf, "PDF document", "application/pdf"}},
    {"php", {F::sourceCode, "PHP script", "application/x-php"}},
    {"pl", {F::sourceCode, "Perl script", "text/x-perl"}},
    {"png", {F::image, "PNG image", "image/png"}},
    {"py", {F::sourceCode, "Python script", "text/x-python"}},
    {"rb", {F::sourceCode, "Ruby script", "text/x-ruby"}},
    {"rs", {F::sourceCode, "Rust source", "text/x-rust"}},
    {"rtf", {F::document, "RTF document", "application/rtf"}},
    {"sh", {F::sourceCode, "shell script", "text/x-shellscript"}},
    {"sql", {F::sourceCode, "SQL script", "application/sql"}},
    {"swift", {F::sourceCode, "Swift source", "text/x-swift"}},
    {"text", {F::text, "plain text document", "text/plain"}},
    {"tif", {F::image, "TIFF image", "image/tiff"}},
    {"tiff", {F::image, "TIFF image", "image/tiff"}},
    {"toml", {F::text, "TOML document", "application/toml"}},
    {"ts", {F::sourceCode, "TypeScript source", "text/x-typescript"}},
    {"tsv", {F::text, "tab-separated values", "text/tab-separated-values"}},
    {"txt", {F::text, "plain text document", "text/plain"}},
    {"webp", {F::image, "WebP image", "image/webp"}},
    {"xhtml", {F::document, "XHTML document", "application/xhtml+xml"}},
    {"xml", {F::text, "XML document", "application/xml"}},
    {"yaml", {F::text, "YAML document", "application/yaml"}},
    {"yml", {F::text, "YAML document", "application/yaml"}},
    {"zsh", {F::sourceCode, "Zsh script", "text/x-shellscript"}},
});

static_assert(std::is_sorted(kTable.begin(), kTable.end(), [](const Entry& a, const Entry& b) {
    return a.extension < b.extension;
}));

}  // namespace

std::optional<FileType> FileTypes::forPath(std::string_view path) {
    const auto extension = std::filesystem::path(path).extension().string();
    if (extension.size() < 2) {
        return std::nullopt;
    }
    const auto lowered = text::asciiLowered(std::string_view(extension).substr(1));
    const auto it = std::lower_bound(
        kTable.begin(), kTable.end(), lowered,
        [](const Entry& entry, const std::string& key) { return entry.extension < key; });
    if (it == kTable.end() || it->extension != lowered) {
        return std::nullopt;
    }
    return it->type;
}

}  // namespace vask
