#pragma once

#include <string>

namespace vask {

// What the main window's sidebar has selected: the awaiting-reply screen or one chat session.
class SidebarSelection {
  public:
    enum class Kind { awaitingReplies, chat };

    static SidebarSelection awaitingReplies() {
        return SidebarSelection(Kind::awaitingReplies, {});
    }
    static SidebarSelection chat(std::string id) {
        return SidebarSelection(Kind::chat, std::move(id));
    }

    Kind kind() const { return kind_; }
    bool isChat() const { return kind_ == Kind::chat; }
    // The session's id, for Kind::chat.
    const std::string& sessionID() const { return id_; }

    bool operator==(const SidebarSelection&) const = default;

  private:
    SidebarSelection(Kind kind, std::string id) : kind_(kind), id_(std::move(id)) {}

    Kind kind_;
    std::string id_;
};

}  // namespace vask
