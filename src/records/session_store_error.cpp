#include "records/session_store_error.h"

namespace vask {
namespace {

std::string phrase(SessionStoreError::Case kind) {
    switch (kind) {
        case SessionStoreError::Case::openFailed:
            return "Could not open the sessions database: ";
        case SessionStoreError::Case::sqlite:
            return "Sessions database failed: ";
        case SessionStoreError::Case::decodingFailed:
            return "A stored chat message could not be read: ";
        case SessionStoreError::Case::fileFailed:
            return "Sessions file operation failed: ";
        case SessionStoreError::Case::savingRefused:
            return "Chats are not being saved: the saved chats could not be read at start-up, "
                   "and they are kept as they are: ";
    }
    return "Sessions database failed: ";
}

}  // namespace

SessionStoreError::SessionStoreError(Case kind, std::string message)
    : Error(phrase(kind) + message), kind_(kind), message_(std::move(message)) {}

SessionStoreError SessionStoreError::openFailed(std::string path) {
    return {Case::openFailed, std::move(path)};
}

SessionStoreError SessionStoreError::sqlite(std::string message) {
    return {Case::sqlite, std::move(message)};
}

SessionStoreError SessionStoreError::decodingFailed(std::string message) {
    return {Case::decodingFailed, std::move(message)};
}

SessionStoreError SessionStoreError::fileFailed(std::string message) {
    return {Case::fileFailed, std::move(message)};
}

SessionStoreError SessionStoreError::savingRefused(std::string reason) {
    return {Case::savingRefused, std::move(reason)};
}

}  // namespace vask
