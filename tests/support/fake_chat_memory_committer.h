#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "chat/chat_memory_committer.h"

namespace vask::test {

// Answers every memory request with the receipts it was given and every undo with a fixed
// verdict, recording what it was asked.
class FakeChatMemoryCommitter final : public ChatMemoryCommitter {
  public:
    struct ApplyCall {
        std::string userText;
        std::optional<MemoryPrincipal> requestPrincipal;
        std::optional<MemoryPrincipal> authorizedPrincipal;
        bool answerIsAuthoritative = false;
    };

    std::vector<MemoryReceipt> apply(const JSONValue::Object& metadata, std::string_view userText,
                                     const std::optional<MemoryPrincipal>& requestPrincipal,
                                     const std::optional<MemoryPrincipal>& authorizedPrincipal,
                                     bool answerIsAuthoritative) const noexcept override;
    bool undoAutoSave(
        const MemoryReceipt& receipt, const std::optional<MemoryPrincipal>& requestPrincipal,
        const std::optional<MemoryPrincipal>& authorizedPrincipal) const noexcept override;

    void setReceipts(std::vector<MemoryReceipt> receipts);
    void setUndoResult(bool undone);
    std::vector<ApplyCall> applyCalls() const;
    std::vector<MemoryReceipt> undoCalls() const;

  private:
    mutable std::mutex mutex_;
    std::vector<MemoryReceipt> receipts_;
    bool undoResult_ = true;
    mutable std::vector<ApplyCall> applyCalls_;
    mutable std::vector<MemoryReceipt> undoCalls_;
};

}  // namespace vask::test
