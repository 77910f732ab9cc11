#pragma once

#include <string>

#include "platform/error.h"

namespace vask {

// Failures of the sessions database. `message()` is the lower-level text: the path for
// openFailed, SQLite's message (or "bind text failed", "close failed") for sqlite, the decoder's
// or the file system's text for decodingFailed and fileFailed, the load's failure for
// savingRefused.
class SessionStoreError : public Error {
  public:
    enum class Case { openFailed, sqlite, decodingFailed, fileFailed, savingRefused };

    static SessionStoreError openFailed(std::string path);
    static SessionStoreError sqlite(std::string message);
    static SessionStoreError decodingFailed(std::string message);
    static SessionStoreError fileFailed(std::string message);
    // `reason`: why the load that turned saving off failed.
    static SessionStoreError savingRefused(std::string reason);

    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }

  private:
    SessionStoreError(Case kind, std::string message);

    Case kind_;
    std::string message_;
};

}  // namespace vask
