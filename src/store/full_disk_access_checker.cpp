#include "store/full_disk_access_checker.h"

#include <memory>
#include <system_error>

#include "platform/file_io.h"
#include "store/chat_db_reader.h"
#include "store/sqlite_statement.h"

namespace vask {
namespace {

constexpr const char* notFoundReason = "chat.db not found";
constexpr const char* deniedReason = "authorization denied";

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

enum class Read { ok, busy, failed };

// Nothing but a row or the end of rows counts as a read; a failed prepare counts as a failed step.
// A database locked by its writer is busy, not refused: the lock itself shows the file is ours to
// read.
Read readSchema(sqlite3* db) {
    try {
        SQLiteStatement statement(db, FullDiskAccessChecker::probeQuery);
        statement.step();
        return Read::ok;
    } catch (const SQLiteSupport::Failure& failure) {
        const int primary = failure.resultCode() & 0xff;
        return primary == SQLITE_BUSY || primary == SQLITE_LOCKED ? Read::busy : Read::failed;
    }
}

}  // namespace

FullDiskAccessResult FullDiskAccessChecker::checkChatDatabaseAccess(
    const StructuredLogger& logger) noexcept {
    return checkChatDatabaseAccess(logger, processEnvironment());
}

FullDiskAccessResult FullDiskAccessChecker::checkChatDatabaseAccess(
    const StructuredLogger& logger, const Environment& env) noexcept {
    return checkDatabaseAccess(ChatDBReader::defaultChatDBPath(env), logger);
}

FullDiskAccessResult FullDiskAccessChecker::checkDatabaseAccess(
    const std::filesystem::path& path, const StructuredLogger& logger) noexcept {
    const auto pathText = path.string();
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        logger.error("fda_chat_db_missing", {{"path", pathText}});
        return {false, notFoundReason};
    }
    // The user's chosen file: a link to it is followed, as ever, but a FIFO would block the open.
    try {
        requireRegularFile(path);
    } catch (const FileError& refused) {
        logger.error("fda_chat_db_open_failed", {{"path", pathText}, {"error", refused.what()}});
        return {false, refused.what()};
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
    sqlite3_busy_timeout(db.get(), ChatDBReader::busyTimeoutMilliseconds);
    switch (readSchema(db.get())) {
        case Read::ok:
            break;
        case Read::busy:
            logger.info("fda_chat_db_busy", {{"path", pathText}});
            return {true, std::nullopt};
        case Read::failed:
            logger.error("fda_chat_db_read_failed", {{"path", pathText}});
            return {false, deniedReason};
    }
    logger.info("fda_chat_db_read_ok", {{"path", pathText}});
    return {true, std::nullopt};
}

}  // namespace vask
