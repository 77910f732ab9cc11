// Answers and unanswered questions into their sessions, late citations and titles, and saving.
#include "chat/chat_view_model.h"
#include "records/session_artifact_validator.h"

namespace vask {

std::shared_ptr<ChatViewModel> ChatViewModel::handoffReceiver(const std::string& sessionID) const {
    const auto it = handoffReceivers_.find(sessionID);
    return it == handoffReceivers_.end() ? nullptr : it->second;
}

std::size_t ChatViewModel::restoreSession(const std::string& sessionID, std::string_view event) {
    ChatSession restored = newSession();
    restored.id = sessionID;
    SessionList list = sessions.get();
    list.push_back(std::make_shared<const ChatSession>(std::move(restored)));
    sessions.set(std::move(list));
    logger_.info(event, {{"session_id", sessionID}});
    return sessions.get().size() - 1;
}

std::vector<SessionArtifact> ChatViewModel::storedArtifacts(const std::string& sessionID) const {
    std::vector<SessionArtifact> artifacts;
    if (const auto index = sessionIndex(sessionID)) {
        for (const auto& message : sessions.get()[*index]->messages) {
            artifacts.insert(artifacts.end(), message.artifacts.begin(), message.artifacts.end());
        }
    } else if (auto receiver = handoffReceiver(sessionID)) {
        return receiver->storedArtifacts(sessionID);
    }
    return artifacts;
}

SessionArtifactValidationResult ChatViewModel::validateArtifacts(
    const std::vector<SessionArtifactCandidate>& candidates, const Uuid& answerID,
    const std::vector<SessionArtifact>& existing, const std::string& shadowDBPath,
    const std::optional<std::string>& contactsDBPath) {
    std::optional<std::filesystem::path> contacts;
    if (contactsDBPath) {
        contacts = *contactsDBPath;
    }
    return SessionArtifactValidator::validate(candidates, answerID, existing, shadowDBPath,
                                              contacts);
}

void ChatViewModel::commitTurn(const ChatMessage& question, const Uuid& answerID,
                               const std::string& displayText, bool extracted,
                               std::optional<std::vector<MemoryReceipt>> memoryReceipts,
                               const std::vector<SessionArtifactCandidate>& artifactCandidates,
                               std::optional<ChatTokenUsage> tokenUsage,
                               const std::string& sessionID) {
    commitValidatedTurn(question, answerID, displayText, extracted, std::move(memoryReceipts),
                        validateArtifacts(artifactCandidates, answerID, storedArtifacts(sessionID),
                                          deps_.shadowDBPath, contactsDBPath_),
                        tokenUsage, sessionID);
}

void ChatViewModel::commitValidatedTurn(const ChatMessage& question, const Uuid& answerID,
                                        const std::string& displayText, bool extracted,
                                        std::optional<std::vector<MemoryReceipt>> memoryReceipts,
                                        SessionArtifactValidationResult validated,
                                        std::optional<ChatTokenUsage> tokenUsage,
                                        const std::string& sessionID) {
    auto index = sessionIndex(sessionID);
    if (!index) {
        // The session moved to the main window while its turn ran: the answer belongs there,
        // where it is shown and saved.
        if (auto receiver = handoffReceiver(sessionID)) {
            receiver->commitValidatedTurn(question, answerID, displayText, extracted,
                                          std::move(memoryReceipts), std::move(validated),
                                          tokenUsage, sessionID);
            return;
        }
        index = restoreSession(sessionID, "session_restored_for_commit");
    }
    ChatSession session = *sessions.get()[*index];

    ChatMessage answer;
    answer.id = answerID;
    answer.role = ChatRole::assistant;
    answer.text = displayText;
    answer.timestamp = deps_.clock.now();
    answer.extracted = extracted;
    answer.memoryReceipts = std::move(memoryReceipts);
    answer.artifacts = std::move(validated.artifacts);
    answer.artifactAvailability = validated.availability;
    answer.tokenUsage = tokenUsage;

    session.messages.push_back(question);
    session.messages.push_back(std::move(answer));
    session.messageCount = static_cast<std::int64_t>(session.messages.size());
    session.lastMessageAt = deps_.clock.now();
    if (!session.titleIsUserSet && (session.title == newSessionTitle || session.title.empty())) {
        session.title = provisionalTitle(question.text);
    }
    replaceSession(*index, std::move(session));
    persist();
}

void ChatViewModel::persistUnansweredQuestion(ChatMessage question,
                                              std::optional<ChatTokenUsage> tokenUsage,
                                              const std::string& sessionID) {
    auto index = sessionIndex(sessionID);
    if (!index) {
        if (auto receiver = handoffReceiver(sessionID)) {
            receiver->persistUnansweredQuestion(std::move(question), tokenUsage, sessionID);
            return;
        }
        index = restoreSession(sessionID, "session_restored_for_unanswered_question");
    }
    ChatSession session = *sessions.get()[*index];
    question.tokenUsage = tokenUsage;
    session.messages.push_back(std::move(question));
    session.messageCount = static_cast<std::int64_t>(session.messages.size());
    session.lastMessageAt = deps_.clock.now();
    replaceSession(*index, std::move(session));
    persist();
}

void ChatViewModel::persist() {
    if (!saveQueue_) {
        return;
    }
    if (loadingSessions.get()) {
        // Writing before the saved chats are in would replace them; the load saves what
        // changed meanwhile when it ends.
        return;
    }
    if (sessionStoreUnreadable_) {
        if (!loggedSkippedSave_) {
            loggedSkippedSave_ = true;
            logger_.warning("session_persist_skipped_unreadable_store",
                            {{"path", deps_.sessionStore->databaseURL().string()}});
        }
        return;
    }
    SessionList kept;
    for (const auto& session : sessions.get()) {
        if (!session->messages.empty() && !deletionsWaitingForMemoryCommit_.contains(session->id)) {
            kept.push_back(session);
        }
    }
    saveQueue_->save(std::move(kept));
}

void ChatViewModel::flushPendingSaves() {
    if (loadingSessions.get() && deps_.sessionStore) {
        // Quitting before the saved chats arrived: read them here so that what changed
        // meanwhile is merged and written rather than lost.
        finishLoading(readSessions(*deps_.sessionStore));
    }
    if (saveQueue_) {
        saveQueue_->flush();
    }
}

void ChatViewModel::applySources(const ResolvedSources& resolved, const Uuid& answerID,
                                 const std::string& sessionID) {
    const auto index = sessionIndex(sessionID);
    if (!index) {
        if (auto receiver = handoffReceiver(sessionID)) {
            receiver->applySources(resolved, answerID, sessionID);
        }
        return;
    }
    ChatSession session = *sessions.get()[*index];
    const auto message = std::find_if(session.messages.begin(), session.messages.end(),
                                      [&](const ChatMessage& m) { return m.id == answerID; });
    if (message == session.messages.end()) {
        return;
    }
    message->sources = resolved.sources;
    message->sourcesTruncated = resolved.truncated;
    replaceSession(*index, std::move(session));
    persist();
    logger_.info("citations_applied", {{"source_count", std::to_string(resolved.sources.size())}});
}

void ChatViewModel::applyTitle(const std::string& title, const std::string& sessionID) {
    const auto index = sessionIndex(sessionID);
    if (!index) {
        if (auto receiver = handoffReceiver(sessionID)) {
            receiver->applyTitle(title, sessionID);
        }
        return;
    }
    ChatSession session = *sessions.get()[*index];
    if (session.titleIsUserSet) {
        logger_.info("session_title_generation_skipped_user_renamed", {{"session_id", sessionID}});
        return;
    }
    session.title = title;
    replaceSession(*index, std::move(session));
    persist();
    logger_.info("session_title_generated", {{"session_id", sessionID}});
}

}  // namespace vask
