#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sample-chatdb/sample_chat_db.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace vask::test {

// A Messages database written row by row, for tests that need exact contents.
class ChatDBFixture {
  public:
    struct Message {
        std::string guid;
        std::optional<std::string> text;
        std::optional<std::vector<std::uint8_t>> body;
        std::int64_t date = 0;
        bool isFromMe = false;
        std::int64_t handleId = 0;
        std::optional<std::int64_t> chat;  // chat ROWID to join
    };

    explicit ChatDBFixture(std::filesystem::path path)
        : path_(std::move(path)),
          db_(SQLiteConnection::open(path_, SQLiteSupport::OpenMode::readWriteCreate)) {
        sample::createMessagesSchema(db_.get());
    }

    const std::filesystem::path& path() const { return path_; }
    const SQLiteConnection& connection() const { return db_; }

    std::int64_t addHandle(const std::string& id, const std::string& service = "iMessage") {
        SQLiteStatement statement(db_.get(), "INSERT INTO handle (id, service) VALUES (?, ?)");
        statement.bind(1, id).bind(2, service).run();
        return sqlite3_last_insert_rowid(db_.get());
    }

    std::int64_t addChat(const std::string& guid, std::int64_t style,
                         const std::optional<std::string>& displayName = std::nullopt) {
        SQLiteStatement statement(db_.get(),
                                  "INSERT INTO chat (guid, style, display_name) VALUES (?, ?, ?)");
        statement.bind(1, guid).bind(2, style).bind(3, displayName).run();
        return sqlite3_last_insert_rowid(db_.get());
    }

    void addMember(std::int64_t chat, std::int64_t handle) {
        SQLiteStatement statement(
            db_.get(), "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)");
        statement.bind(1, chat).bind(2, handle).run();
    }

    std::int64_t addMessage(const Message& message) {
        SQLiteStatement statement(db_.get(),
                                  "INSERT INTO message (guid, text, attributedBody, date, "
                                  "is_from_me, handle_id) VALUES (?, ?, ?, ?, ?, ?)");
        statement.bind(1, message.guid).bind(2, message.text);
        if (message.body) {
            statement.bindBlob(3, message.body->data(), message.body->size());
        }
        statement.bind(4, message.date).bind(5, message.isFromMe ? 1 : 0);
        statement.bind(6, message.handleId).run();
        const std::int64_t rowid = sqlite3_last_insert_rowid(db_.get());
        if (message.chat) {
            SQLiteStatement join(
                db_.get(), "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)");
            join.bind(1, *message.chat).bind(2, rowid).run();
        }
        return rowid;
    }

    // `count` plain messages in `chat`, dated 1000, 2000, ... after `firstDate`, with guids
    // prefix1, prefix2, ...
    void addPlainMessages(std::int64_t count, std::int64_t chat, const std::string& prefix,
                          std::int64_t firstDate = 0) {
        db_.inImmediateTransaction([&] {
            SQLiteStatement statement(
                db_.get(),
                "INSERT INTO message (guid, text, date, is_from_me, handle_id) "
                "VALUES (?, ?, ?, ?, 0)");
            SQLiteStatement join(
                db_.get(), "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)");
            for (std::int64_t i = 1; i <= count; ++i) {
                statement.reset();
                statement.bind(1, prefix + std::to_string(i))
                    .bind(2, "message number " + std::to_string(i))
                    .bind(3, firstDate + i * 1000)
                    .bind(4, 1)
                    .run();
                join.reset();
                join.bind(1, chat)
                    .bind(2, std::int64_t{sqlite3_last_insert_rowid(db_.get())})
                    .run();
            }
        });
    }

  private:
    std::filesystem::path path_;
    SQLiteConnection db_;
};

}  // namespace vask::test
