#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vask {

// What the file access service needs to know about a file's type, found from its name extension
// alone (no content sniffing), from a built-in table.
struct FileType {
    enum class Family { pdf, image, text, sourceCode, document };

    Family family = Family::document;
    // A human-readable name of the type ("PDF document").
    std::string_view kind;
    std::string_view mimeType;

    bool operator==(const FileType&) const = default;

    bool isPDF() const { return family == Family::pdf; }
    bool isImage() const { return family == Family::image; }
    bool isTextOrSourceCode() const {
        return family == Family::text || family == Family::sourceCode;
    }
};

namespace FileTypes {

// The type of a path's extension (compared without regard to case), or nothing when the
// extension is unknown or absent.
std::optional<FileType> forPath(std::string_view path);

}  // namespace FileTypes

}  // namespace vask
