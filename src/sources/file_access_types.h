#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/error.h"

namespace vask {

// One allowed search hit. `path` is as the search printed it: it is the cache key.
struct FileCandidate {
    std::string path;
    std::string name;
    std::string kind;  // "" when the type is unknown
    std::int64_t size = 0;
    Clock::WallTime modified = Clock::WallTime::min();

    bool operator==(const FileCandidate&) const = default;
};

enum class ParseMethod { direct, directFallback, textExtraction, textExtractionFallback, vision };

// "direct", "direct-fallback", "text-extraction", "text-extraction-fallback", "vision".
std::string_view toString(ParseMethod method);

// Who produced a parse: a remote model by id, this computer, or the plan's default model.
class ParseModel {
  public:
    static ParseModel remote(std::string id) { return ParseModel(std::move(id)); }
    static ParseModel local() { return ParseModel(std::string(localRaw)); }
    static ParseModel tierDefault() { return ParseModel(std::string(tierDefaultRaw)); }
    // Never fails: "local" and "tier_default" name those cases, anything else a remote model.
    static ParseModel fromRawValue(std::string raw) { return ParseModel(std::move(raw)); }

    bool isLocal() const { return raw_ == localRaw; }
    bool isTierDefault() const { return raw_ == tierDefaultRaw; }
    const std::string& rawValue() const { return raw_; }

    bool operator==(const ParseModel&) const = default;

  private:
    static constexpr std::string_view localRaw = "local";
    static constexpr std::string_view tierDefaultRaw = "tier_default";
    explicit ParseModel(std::string raw) : raw_(std::move(raw)) {}
    std::string raw_;
};

struct FileParseResult {
    std::string contentMarkdown;
    ParseMethod parseMethod = ParseMethod::direct;
    ParseModel parseModel = ParseModel::local();
    std::int64_t pageCount = 0;
    std::int64_t tokenCost = 0;
    // Stored without the file's hash, so that the next run reads the file again (a note about
    // this system rather than the file's text).
    bool unhashed = false;
};

class FileAccessError : public Error {
  public:
    enum class Case {
        unsupportedVisionModel,
        unsupportedType,
        unreadable,
        visionRequired,
        missingVisionClient,
        renderFailed,
        tooLarge,
    };

    static FileAccessError unsupportedVisionModel(const std::string& model);
    explicit FileAccessError(Case kind);

    Case kind() const { return kind_; }
    const std::string& model() const { return model_; }

  private:
    FileAccessError(Case kind, std::string model, const std::string& description);
    Case kind_;
    std::string model_;
};

// A text file that is not UTF-8 and that no fallback could read either.
class TextDecodingError : public Error {
  public:
    TextDecodingError() : Error("The file is not valid UTF-8 text") {}
};

}  // namespace vask
