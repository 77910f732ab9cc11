#include "support/fake_chat_memory_committer.h"

namespace vask::test {

std::vector<MemoryReceipt> FakeChatMemoryCommitter::apply(
    const JSONValue::Object&, std::string_view userText,
    const std::optional<MemoryPrincipal>& requestPrincipal,
    const std::optional<MemoryPrincipal>& authorizedPrincipal,
    bool answerIsAuthoritative) const noexcept {
    std::lock_guard lock(mutex_);
    applyCalls_.push_back(
        {std::string(userText), requestPrincipal, authorizedPrincipal, answerIsAuthoritative});
    return receipts_;
}

bool FakeChatMemoryCommitter::undoAutoSave(const MemoryReceipt& receipt,
                                           const std::optional<MemoryPrincipal>&,
                                           const std::optional<MemoryPrincipal>&) const noexcept {
    std::lock_guard lock(mutex_);
    undoCalls_.push_back(receipt);
    return undoResult_;
}

void FakeChatMemoryCommitter::setReceipts(std::vector<MemoryReceipt> receipts) {
    std::lock_guard lock(mutex_);
    receipts_ = std::move(receipts);
}

void FakeChatMemoryCommitter::setUndoResult(bool undone) {
    std::lock_guard lock(mutex_);
    undoResult_ = undone;
}

std::vector<FakeChatMemoryCommitter::ApplyCall> FakeChatMemoryCommitter::applyCalls() const {
    std::lock_guard lock(mutex_);
    return applyCalls_;
}

std::vector<MemoryReceipt> FakeChatMemoryCommitter::undoCalls() const {
    std::lock_guard lock(mutex_);
    return undoCalls_;
}

}  // namespace vask::test
