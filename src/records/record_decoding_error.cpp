#include "records/record_decoding_error.h"

namespace vask {

RecordDecodingError::RecordDecodingError(Case kind, std::string description)
    : Error("Chat record could not be read: " + description),
      kind_(kind),
      description_(std::move(description)) {}

RecordDecodingError RecordDecodingError::keyNotFound(std::string_view key) {
    return {Case::keyNotFound, "No value associated with key \"" + std::string(key) + "\"."};
}

RecordDecodingError RecordDecodingError::valueNotFound(std::string_view key) {
    return {Case::valueNotFound, "Key \"" + std::string(key) + "\" holds null."};
}

RecordDecodingError RecordDecodingError::typeMismatch(std::string_view key,
                                                      std::string_view expected) {
    return {Case::typeMismatch,
            "Expected " + std::string(expected) + " under key \"" + std::string(key) + "\"."};
}

RecordDecodingError RecordDecodingError::dataCorrupted(std::string description) {
    return {Case::dataCorrupted, std::move(description)};
}

}  // namespace vask
