#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vask::test {

// A deflated zip archive holding `entries` (name, contents) in order.
inline std::string zipArchive(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::size_t capacity = 64 * 1024;
    for (const auto& [name, contents] : entries) {
        capacity += name.size() * 2 + contents.size() + 1024;
    }
    std::string buffer(capacity, '\0');
    std::size_t used = 0;
    const std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(),
                                                                         archive_write_free);
    if (archive_write_set_format_zip(writer.get()) != ARCHIVE_OK ||
        archive_write_open_memory(writer.get(), buffer.data(), buffer.size(), &used) !=
            ARCHIVE_OK) {
        throw std::runtime_error(archive_error_string(writer.get()));
    }
    for (const auto& [name, contents] : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(contents.size()));
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK ||
            archive_write_data(writer.get(), contents.data(), contents.size()) !=
                static_cast<la_ssize_t>(contents.size())) {
            throw std::runtime_error(archive_error_string(writer.get()));
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        throw std::runtime_error(archive_error_string(writer.get()));
    }
    buffer.resize(used);
    return buffer;
}

// A .docx whose body is `body` (paragraph markup in the w: namespace).
inline std::string docxDocument(const std::string& body) {
    return zipArchive(
        {{"[Content_Types].xml", "<?xml version=\"1.0\"?><Types/>"},
         {"word/document.xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
          "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
          "<w:body>" +
              body + "</w:body></w:document>"}});
}

// An .odt whose office:text holds `body` (markup in the text: namespace).
inline std::string odtDocument(const std::string& body) {
    return zipArchive({{"mimetype", "application/vnd.oasis.opendocument.text"},
                       {"content.xml",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                        "<office:document-content "
                        "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\">"
                        "<office:body><office:text>" +
                            body + "</office:text></office:body></office:document-content>"}});
}

}  // namespace vask::test
