#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "foundation/structured_logger.h"
#include "records/session_artifact.h"

namespace vask {

class SQLiteConnection;

// Confirms members of proposed entity sets against the user's databases, over its own read-only
// connections, for the length of one validation. A side that cannot be opened or queried
// resolves nothing; the first such failure of each side is logged.
class ArtifactReferenceResolver {
  public:
    ArtifactReferenceResolver(const std::filesystem::path& dbPath,
                              const std::optional<std::filesystem::path>& contactsDBPath);
    ~ArtifactReferenceResolver();

    // True when one row holds the value: contacts.apple_id in the contacts database,
    // messages.sender or messages.chat_id in the message store.
    bool isResolved(const SessionEntityRef& reference);

  private:
    struct Side {
        std::string_view name;
        std::unique_ptr<SQLiteConnection> connection;  // none when it could not be opened
        bool failureLogged = false;
    };

    static Side open(std::string_view name, const std::optional<std::filesystem::path>& path,
                     const StructuredLogger& logger);
    bool hasRow(Side& side, std::string_view sql, std::string_view value);

    StructuredLogger logger_{"session-artifacts"};
    Side messagesDB_;
    Side contactsDB_;
};

}  // namespace vask
