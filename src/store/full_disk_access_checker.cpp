#include "store/full_disk_access_checker.h"

#include <memory>
#include <system_error>

#include "store/sqlite_statement.h"

namespace vask {
namespace {

constexpr const char* notFoundReason = "chat.db not found";
constexpr const char* deniedReason = "authorization denied";

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

// Nothing but a row or the end of rows counts as a read; a failed prepare counts as a failed step.
bool readsSchema(sqlite3* db) {
    try {
        SQLiteStatement statement(db, FullDiskAccessChecker::probeQuery);
        statement.step();
        return true;
    } catch (const SQLiteSupport::Failure&) {
        return false;
    }
}

}  // namespace

FullDiskAccessResult FullDiskAccessChecker::checkChatDatabaseAccess(
    const StructuredLogger& logger) noexcept {
    return checkChatDatabaseAccess(logger, processEnvironment());
}

FullDiskAccessResult FullDiskAccessChecker::checkChatDatabaseAccess(
    const StructuredLogger& logger, const Environment& env) noexcept {
    const auto home = homeDirectory(env);
    if (!home) {
        // Without a home folder there is no Messages database to find.
        logger.error("fda_chat_db_missing", {{"path", chatDatabaseRelativePath}});
        return {false, notFoundReason};
    }
    return checkDatabaseAccess(*home / chatDatabaseRelativePath, logger);
}

FullDiskAccessResult FullDiskAccessChecker::checkDatabaseAccess(
    const std::filesystem::path& path, const StructuredLogger& logger) noexcept {
    const auto pathText = path.string();
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        logger.error("fda_chat_db_missing", {{"path", pathText}});
        return {false, notFoundReason};
    }
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(pathText.c_str(), &raw,
                                   SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
    const std::unique_ptr<sqlite3, Closer> db(raw);
    if (rc != SQLITE_OK) {
        std::string text = sqlite3_errstr(rc);
        logger.error(
            "fda_chat_db_open_failed",
            {{"path", pathText}, {"sqlite_code", std::to_string(rc)}, {"sqlite_error", text}});
        return {false, std::move(text)};
    }
    if (!readsSchema(db.get())) {
        logger.error("fda_chat_db_read_failed", {{"path", pathText}});
        return {false, deniedReason};
    }
    logger.info("fda_chat_db_read_ok", {{"path", pathText}});
    return {true, std::nullopt};
}

}  // namespace vask
