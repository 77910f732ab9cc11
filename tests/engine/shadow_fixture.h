#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "store/shadow_db.h"
#include "store/shadow_message.h"

namespace vask::test {

// A shadow database in WAL mode with one connection kept open, as the running application has.
class LiveShadowDatabase {
  public:
    explicit LiveShadowDatabase(const std::filesystem::path& path) : db_(path) {
        db_.createSchemaIfNeeded();
    }

    void add(std::string guid, std::string chatId, std::string text, std::int64_t seconds,
             bool fromMe = false) {
        ShadowMessage message;
        message.guid = std::move(guid);
        message.chatId = std::move(chatId);
        message.sender = fromMe ? "me" : "+15550001";
        message.text = std::move(text);
        message.timestamp = (seconds - 978307200) * 1000000000LL;
        message.isFromMe = fromMe;
        db_.insertBatch({message});
    }

    ShadowDB& db() { return db_; }

  private:
    ShadowDB db_;
};

}  // namespace vask::test
