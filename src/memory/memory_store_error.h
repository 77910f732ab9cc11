#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/error.h"

namespace vask {

// Failures of the memory store. Callers map them to their own texts; what() is for logs only.
class MemoryStoreError : public Error {
  public:
    enum class Case {
        initializationLockFailed,
        openFailed,
        migrationFailed,
        unsupportedSchemaVersion,
        prepareFailed,
        bindFailed,
        readFailed,
        writeFailed,
        snapshotFailed,
        invalidStoredAssociation,
        associationNotFound,
        authorizationChanged,
    };

    static MemoryStoreError initializationLockFailed(int errnoValue);
    // The supported version is memory_schema::currentVersion.
    static MemoryStoreError unsupportedSchemaVersion(std::int32_t found);
    // Cases that carry SQLite's (or our own) message.
    static MemoryStoreError withMessage(Case errorCase, std::string message);
    // Cases without payload.
    static MemoryStoreError plain(Case errorCase);

    Case errorCase() const { return case_; }
    const std::string& message() const { return message_; }
    int errnoValue() const { return errno_; }
    std::int32_t foundVersion() const { return found_; }

    bool operator==(const MemoryStoreError& other) const {
        return case_ == other.case_ && message_ == other.message_ && errno_ == other.errno_ &&
               found_ == other.found_;
    }

  private:
    MemoryStoreError(Case errorCase, std::string message, int errnoValue, std::int32_t found);

    Case case_;
    std::string message_;
    int errno_ = 0;
    std::int32_t found_ = 0;
};

// The type name logged as "error_type" for a failure of private memory caught as `error`.
const char* memoryErrorTypeName(const std::exception& error) noexcept;

}  // namespace vask
