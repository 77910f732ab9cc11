#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "store/shadow_db.h"
#include "store/shadow_message.h"

namespace vask::test {

// A shadow database written as the application's syncs write it: each write opens its own
// connection and closes it again, so between writes nobody holds the file open and SQLite has
// folded the write-ahead log back into the main file and deleted it.
class LiveShadowDatabase {
  public:
    explicit LiveShadowDatabase(std::filesystem::path path) : path_(std::move(path)) {
        ShadowDB(path_).createSchemaIfNeeded();
    }

    static ShadowMessage message(std::string guid, std::string chatId, std::string text,
                                 std::int64_t seconds, bool fromMe = false) {
        ShadowMessage message;
        message.guid = std::move(guid);
        message.chatId = std::move(chatId);
        message.sender = fromMe ? "me" : "+15550001";
        message.text = std::move(text);
        message.timestamp = (seconds - 978307200) * 1000000000LL;
        message.isFromMe = fromMe;
        return message;
    }

    void add(std::string guid, std::string chatId, std::string text, std::int64_t seconds,
             bool fromMe = false) {
        ShadowDB(path_).insertBatch(
            {message(std::move(guid), std::move(chatId), std::move(text), seconds, fromMe)});
    }

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace vask::test
