#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "memory/memory_mutation.h"
#include "platform/error.h"
#include "platform/json_value.h"

namespace vask {

// Why a helper's memory request was rejected as a whole. Callers log only the type name.
class MemoryMutationValidationError : public Error {
  public:
    enum class Case {
        missingOperations,
        invalidOperations,
        tooManyOperations,
        invalidOperationSchema,
        invalidContent,
        invalidID,
        operationDoesNotMatchDirective,
        notDurableStatement,
    };

    explicit MemoryMutationValidationError(Case errorCase);
    Case errorCase() const { return case_; }
    bool operator==(const MemoryMutationValidationError& other) const {
        return case_ == other.case_;
    }

  private:
    Case case_;
};

// Turns the untrusted "memory_operations" entry of an answer's metadata into typed mutations,
// or rejects the whole request. Pure; safe from any thread.
class MemoryMutationValidator {
  public:
    static constexpr std::size_t maxTermBytes = 256;
    static constexpr std::size_t maxDefinitionBytes = 4096;
    static constexpr std::size_t maxRationaleBytes = 1024;
    static constexpr std::size_t maxDirectiveOperations = 5;
    static constexpr std::size_t maxSuggestedOperations = 2;

    static std::vector<MemoryMutation> validate(const JSONValue::Object& metadata,
                                                std::string_view userText);

    // A present JSON string, trimmed, non-empty, without U+0000, at most `maxBytes` of UTF-8.
    static std::string content(const JSONValue* value, std::size_t maxBytes);
    // The same rule over text the user typed (settings edits).
    static std::string content(std::string_view value, std::size_t maxBytes);
    // Only the 36-character lower-case hyphenated form.
    static Uuid id(const JSONValue* value);
};

}  // namespace vask
