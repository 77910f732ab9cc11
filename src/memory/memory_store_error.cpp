#include "memory/memory_store_error.h"

#include <cstring>
#include <filesystem>

#include "memory/memory_mutation_validator.h"
#include "memory/memory_schema.h"

namespace vask {
namespace {

const char* phrase(MemoryStoreError::Case errorCase) {
    using Case = MemoryStoreError::Case;
    switch (errorCase) {
        case Case::initializationLockFailed:
            return "Memory store lock failed";
        case Case::openFailed:
            return "Memory store open failed";
        case Case::migrationFailed:
            return "Memory store migration failed";
        case Case::unsupportedSchemaVersion:
            return "Memory store schema version unsupported";
        case Case::prepareFailed:
            return "Memory store prepare failed";
        case Case::bindFailed:
            return "Memory store bind failed";
        case Case::readFailed:
            return "Memory store read failed";
        case Case::writeFailed:
            return "Memory store write failed";
        case Case::snapshotFailed:
            return "Memory store snapshot failed";
        case Case::invalidStoredAssociation:
            return "Memory store holds an invalid association";
        case Case::associationNotFound:
            return "Memory association not found";
        case Case::authorizationChanged:
            return "Memory authorization changed";
    }
    return "Memory store failed";
}

std::string describe(MemoryStoreError::Case errorCase, const std::string& message, int errnoValue,
                     std::int32_t found) {
    std::string text = phrase(errorCase);
    if (errorCase == MemoryStoreError::Case::initializationLockFailed) {
        text += ": ";
        text += std::strerror(errnoValue);
    } else if (errorCase == MemoryStoreError::Case::unsupportedSchemaVersion) {
        text += ": found " + std::to_string(found) + ", supported " +
                std::to_string(memory_schema::currentVersion);
    } else if (!message.empty()) {
        text += ": " + message;
    }
    return text;
}

}  // namespace

MemoryStoreError::MemoryStoreError(Case errorCase, std::string message, int errnoValue,
                                   std::int32_t found)
    : Error(describe(errorCase, message, errnoValue, found)),
      case_(errorCase),
      message_(std::move(message)),
      errno_(errnoValue),
      found_(found) {}

MemoryStoreError MemoryStoreError::initializationLockFailed(int errnoValue) {
    return MemoryStoreError(Case::initializationLockFailed, {}, errnoValue, 0);
}

MemoryStoreError MemoryStoreError::unsupportedSchemaVersion(std::int32_t found) {
    return MemoryStoreError(Case::unsupportedSchemaVersion, {}, 0, found);
}

MemoryStoreError MemoryStoreError::withMessage(Case errorCase, std::string message) {
    return MemoryStoreError(errorCase, std::move(message), 0, 0);
}

MemoryStoreError MemoryStoreError::plain(Case errorCase) {
    return MemoryStoreError(errorCase, {}, 0, 0);
}

const char* memoryErrorTypeName(const std::exception& error) noexcept {
    if (dynamic_cast<const MemoryStoreError*>(&error) != nullptr) {
        return "MemoryStoreError";
    }
    if (dynamic_cast<const MemoryMutationValidationError*>(&error) != nullptr) {
        return "MemoryMutationValidationError";
    }
    if (dynamic_cast<const std::filesystem::filesystem_error*>(&error) != nullptr) {
        return "FileSystemError";
    }
    return "Error";
}

}  // namespace vask
