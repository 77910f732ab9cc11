#include "sources/file_access_types.h"

namespace vask {
namespace {

std::string description(FileAccessError::Case kind) {
    using C = FileAccessError::Case;
    switch (kind) {
        case C::unsupportedVisionModel:
            return "Corvane model does not support vision: ";
        case C::unsupportedType:
            return "Unsupported file type";
        case C::unreadable:
            return "File could not be read";
        case C::visionRequired:
            return "Vision parsing is required for file access";
        case C::missingVisionClient:
            return "Vision parsing unavailable";
        case C::renderFailed:
            return "Failed to render document page";
        case C::tooLarge:
            return "File is too large to parse";
    }
    return {};
}

}  // namespace

std::string_view toString(ParseMethod method) {
    switch (method) {
        case ParseMethod::direct:
            return "direct";
        case ParseMethod::directFallback:
            return "direct-fallback";
        case ParseMethod::textExtraction:
            return "text-extraction";
        case ParseMethod::textExtractionFallback:
            return "text-extraction-fallback";
        case ParseMethod::vision:
            return "vision";
    }
    return {};
}

FileAccessError::FileAccessError(Case kind, std::string model, const std::string& text)
    : Error(text), kind_(kind), model_(std::move(model)) {}

FileAccessError::FileAccessError(Case kind) : FileAccessError(kind, {}, description(kind)) {}

FileAccessError FileAccessError::unsupportedVisionModel(const std::string& model) {
    return {Case::unsupportedVisionModel, model, description(Case::unsupportedVisionModel) + model};
}

}  // namespace vask
