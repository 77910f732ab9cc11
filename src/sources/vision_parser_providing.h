#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>

namespace vask {

struct VisionParseOutput {
    std::string markdown;
    std::int64_t tokenCost = 0;
};

// Markdown from a file's bytes through a vision-capable model, and the ids of the models that
// can take images. Implementations throw their failures to the caller.
class VisionParserProviding {
  public:
    virtual ~VisionParserProviding() = default;

    virtual VisionParseOutput parseMarkdown(std::string_view prompt, std::string_view fileData,
                                            std::string_view mimeType, std::string_view filename,
                                            const std::optional<std::string>& model,
                                            std::stop_token stop = {}) const = 0;

    virtual std::set<std::string> fetchVisionModels(std::stop_token stop = {}) const = 0;
};

}  // namespace vask
