#include "chat/chat_samples.h"

#include <memory>

namespace vask::chat_samples {

ChatMessage question(std::string text) {
    ChatMessage m;
    m.id = Uuid::random();
    m.role = ChatRole::user;
    m.text = std::move(text);
    return m;
}

ChatTokenUsage usage(std::int64_t root, std::int64_t subcalls) {
    ChatTokenUsage u;
    u.kind = ChatTokenUsage::Kind::resolved;
    u.root.inputTokens = root * 4 / 5;
    u.root.outputTokens = root - root * 4 / 5;
    u.root.totalTokens = root;
    u.root.cacheReadTokens = root / 2;
    u.root.cacheCreationTokens = 0;
    u.root.reasoningTokens = root / 10;
    u.root.requests = 3;
    u.subcall.totalTokens = subcalls;
    u.subcall.cacheReadTokens = 0;
    u.subcall.cacheCreationTokens = 0;
    u.subcall.reasoningTokens = 0;
    u.subcall.requests = 2;
    u.totalTokens = root + subcalls;
    return u;
}

ChatMessage answer(std::string text, int conversations, int queries, std::int64_t now) {
    static const char* const names[] = {"Maya Okafor", "Jonas Berg", "Priya", "Leo Marchetti"};
    static const char* const lines[] = {
        "Have you tried Osteria Nonna? Best cacio e pepe in town, and they take bookings.",
        "Friday at 7 works for me, I'll ask if they have a table by the window.",
        "Sam said the tiramisu alone is worth the trip.",
        "Let's do it! I'll bring the birthday card.",
    };
    ChatMessage m;
    m.id = Uuid::random();
    m.role = ChatRole::assistant;
    m.text = std::move(text);
    std::vector<AnswerSource> sources;
    for (int i = 0; i < conversations; ++i) {
        ConversationSource c;
        c.id = "conversation:chat-" + std::to_string(i);
        c.title = names[i % 4];
        for (int k = 0; k < 4; ++k) {
            c.messages.push_back({"guid-" + std::to_string(i) + "-" + std::to_string(k),
                                  names[(i + k) % 4], lines[k],
                                  now - std::int64_t{3600} * (k * 7 + 2)});
        }
        if (i == 0) {
            c.messagesTarget = MessagesTarget{"+15550101"};
        }
        sources.push_back({c});
    }
    for (int i = 0; i < queries; ++i) {
        QueryEvidenceSource q;
        q.id = "q" + std::to_string(i);
        q.label = "Messages mentioning \"restaurant\"";
        q.accessor = "messages.search(\"restaurant\")";
        q.preview = QueryEvidencePreview::rows(12);
        q.rowCount = 12;
        q.resultTruncated = i % 2 == 1;
        sources.push_back({q});
    }
    if (!sources.empty()) {
        m.sources = std::move(sources);
    }
    m.tokenUsage = usage(10'000, 2'345);
    return m;
}

MemoryReceipt receipt(MemoryMutationOperation operation, MemoryProvenance provenance,
                      MemoryReceiptStatus status, std::string term, std::string definition) {
    MemoryReceipt r;
    r.id = Uuid::random();
    r.operation = operation;
    r.provenance = provenance;
    r.status = status;
    r.term = std::move(term);
    r.definition = std::move(definition);
    return r;
}

ChatSession session(int exchanges, std::int64_t now) {
    ChatSession s;
    s.id = Uuid::random().uppercaseString();
    s.title = "Sample";
    for (int i = 0; i < exchanges; ++i) {
        s.messages.push_back(question("Question " + std::to_string(i) + ": where did we meet?"));
        s.messages.push_back(
            answer("At **Osteria Nonna**, on the `Friday` after the concert.", 2, 1, now));
    }
    s.messageCount = static_cast<std::int64_t>(s.messages.size());
    return s;
}

void show(ChatViewModel& model, ChatSession session) {
    const std::string id = session.id;
    model.sessions.set({std::make_shared<const ChatSession>(std::move(session))});
    model.currentSessionID.set(id);
}

}  // namespace vask::chat_samples
