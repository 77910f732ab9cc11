#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

namespace vask {

// Why a stored chat record could not be read back. `description()` is the bare reason (tests and
// callers compare it); what() prefixes it with the fixed phrase.
class RecordDecodingError : public Error {
  public:
    enum class Case { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

    RecordDecodingError(Case kind, std::string description);

    static RecordDecodingError keyNotFound(std::string_view key);
    static RecordDecodingError valueNotFound(std::string_view key);
    static RecordDecodingError typeMismatch(std::string_view key, std::string_view expected);
    static RecordDecodingError dataCorrupted(std::string description);

    Case kind() const { return kind_; }
    const std::string& description() const { return description_; }

  private:
    Case kind_;
    std::string description_;
};

}  // namespace vask
