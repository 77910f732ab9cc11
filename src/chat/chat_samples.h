#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chat/chat_view_model.h"

// Stand-in conversations for the chat views' screenshots, tests and benchmarks.
namespace vask::chat_samples {

ChatMessage question(std::string text);
// An answer citing `conversations` conversations (four quoted messages each, the first with a
// Messages address) and `queries` queries, with usage; `now` dates the quotes.
ChatMessage answer(std::string text, int conversations, int queries, std::int64_t now);
MemoryReceipt receipt(MemoryMutationOperation operation, MemoryProvenance provenance,
                      MemoryReceiptStatus status, std::string term, std::string definition);
ChatTokenUsage usage(std::int64_t root, std::int64_t subcalls);
// `exchanges` questions, each answered with sources.
ChatSession session(int exchanges, std::int64_t now);
// Makes `session` the model's only and current one.
void show(ChatViewModel& model, ChatSession session);

}  // namespace vask::chat_samples
