#include "records/artifact_reference_resolver.h"

#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace vask {

ArtifactReferenceResolver::ArtifactReferenceResolver(
    const std::filesystem::path& dbPath, const std::optional<std::filesystem::path>& contactsDBPath)
    : messagesDB_(open("messages", dbPath, logger_)),
      contactsDB_(open("contacts", contactsDBPath, logger_)) {}

ArtifactReferenceResolver::~ArtifactReferenceResolver() = default;

ArtifactReferenceResolver::Side ArtifactReferenceResolver::open(
    std::string_view name, const std::optional<std::filesystem::path>& path,
    const StructuredLogger& logger) {
    Side side{name, nullptr, false};
    if (!path) {
        return side;
    }
    try {
        side.connection = std::make_unique<SQLiteConnection>(
            SQLiteConnection::open(*path, SQLiteSupport::OpenMode::readOnly));
    } catch (const SQLiteSupport::Failure& failure) {
        logger.warning("session_artifact_database_unavailable",
                       {{"database", std::string(name)}, {"error", failure.message()}});
        side.failureLogged = true;
    }
    return side;
}

bool ArtifactReferenceResolver::isResolved(const SessionEntityRef& reference) {
    switch (reference.entityNamespace) {
        case SessionEntityNamespace::contactAppleID:
            return hasRow(contactsDB_, "SELECT 1 FROM contacts WHERE apple_id = ? LIMIT 1",
                          reference.value);
        case SessionEntityNamespace::messageSender:
            return hasRow(messagesDB_, "SELECT 1 FROM messages WHERE sender = ? LIMIT 1",
                          reference.value);
        case SessionEntityNamespace::messageChatID:
            return hasRow(messagesDB_, "SELECT 1 FROM messages WHERE chat_id = ? LIMIT 1",
                          reference.value);
    }
    return false;
}

bool ArtifactReferenceResolver::hasRow(Side& side, std::string_view sql, std::string_view value) {
    if (!side.connection) {
        return false;
    }
    try {
        SQLiteStatement statement(side.connection->get(), sql);
        statement.bind(1, value);
        return statement.step();
    } catch (const SQLiteSupport::Failure& failure) {
        if (!side.failureLogged) {
            logger_.warning("session_artifact_lookup_failed",
                            {{"database", std::string(side.name)}, {"error", failure.message()}});
            side.failureLogged = true;
        }
        return false;
    }
}

}  // namespace vask
