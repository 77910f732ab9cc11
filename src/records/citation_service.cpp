#include "records/citation_service.h"

#include <algorithm>
#include <set>
#include <variant>

#include "platform/text.h"

namespace vask {
namespace fs = std::filesystem;

namespace {

std::string trimmedText(std::string_view value) {
    return std::string(text::trimmed(value));
}

// The first `limit` user-perceived characters, and whether anything was cut.
std::pair<std::string, bool> graphemeCut(std::string_view value, std::size_t limit) {
    const auto prefix = text::graphemePrefix(value, limit);
    return {std::string(prefix), prefix.size() < value.size()};
}

CitationService::Preview scalarOf(const JSONValue& value) {
    if (const auto* s = value.asString()) {
        auto [cut, wasCut] = graphemeCut(*s, CitationService::maxPreviewCharacters);
        return {QueryEvidencePreview::scalar(std::move(cut)), wasCut};
    }
    return {QueryEvidencePreview::scalar(value.description()), false};
}

bool isScalar(const JSONValue& value) {
    return value.asString() != nullptr || value.asNumber() != nullptr || value.asBool() != nullptr;
}

struct ConversationAccumulator {
    std::string id;
    std::optional<std::string> chatId;
    std::optional<std::string> chatName;
    bool isGroup = false;
    std::vector<CitedMessage> messages;
};

QueryEvidenceSource querySource(const RLMEvidence& record) {
    auto [preview, cut] = CitationService::queryPreview(record.result, record.rowCount);
    return QueryEvidenceSource{
        record.id,       record.label,
        record.accessor, std::move(preview),
        record.rowCount, record.resultTruncated || record.provenanceTruncated || cut};
}

bool isUnknownChat(const std::string& chatId) {
    return chatId.empty() || text::toLower(chatId) == "unknown";
}

}  // namespace

CitationService::CitationService(std::shared_ptr<CitationMessageReader> reader,
                                 SupportDirectory supportDirectory)
    : reader_(std::move(reader)), supportDirectory_(std::move(supportDirectory)) {}

const StructuredLogger& CitationService::logger() {
    static const StructuredLogger shared("citations");
    return shared;
}

std::vector<std::string> CitationService::selectedMessageGuids(
    const std::vector<RLMEvidence>& evidence) {
    std::vector<std::string> guids;
    std::set<std::string> seen;
    for (const auto& record : evidence) {
        if (record.sourceKind == RLMEvidence::SourceKind::query) {
            continue;
        }
        for (const auto& guid : record.messageGuids) {
            if (guid.empty() || !seen.insert(guid).second) {
                continue;
            }
            guids.push_back(guid);
            if (guids.size() == maxLookedUpGuids) {
                return guids;
            }
        }
    }
    return guids;
}

ResolvedSources CitationService::resolve(const std::vector<RLMEvidence>& evidence) const {
    const auto guids = selectedMessageGuids(evidence);
    if (guids.empty()) {
        return {projectSources(evidence, {}, {}), false};
    }
    fs::path shadowPath;
    fs::path contactsPath;
    try {
        shadowPath = supportDirectory_() / "shadow.db";
        contactsPath = supportDirectory_() / "contacts.db";
    } catch (const std::exception& e) {
        logger().error("citation_paths_failed", {{"error", e.what()}});
        return {projectSources(evidence, {}, {}), false};
    }
    std::error_code ignored;
    const bool shadowExists = fs::exists(shadowPath, ignored);
    const bool contactsExists = fs::exists(contactsPath, ignored);
    if (!shadowExists || !contactsExists) {
        logger().warning("citation_databases_missing",
                         {{"shadow_exists", shadowExists ? "true" : "false"},
                          {"contacts_exists", contactsExists ? "true" : "false"}});
    }
    if (!shadowExists) {
        return {projectSources(evidence, {}, {}), false};
    }
    // Without a contacts database the messages are still quoted, their senders named by handle.
    if (!contactsExists) {
        contactsPath.clear();
    }

    std::vector<CitedMessage> rows;
    try {
        rows = reader_->fetchMessages(shadowPath, guids, contactsPath,
                                      static_cast<int>(maxMessageRows));
        if (rows.size() > maxMessageRows) {
            rows.resize(maxMessageRows);
        }
    } catch (const std::exception& e) {
        logger().error(
            "citation_materialization_failed",
            {{"selected_message_guids", std::to_string(guids.size())}, {"error", e.what()}});
        rows.clear();
    }

    std::vector<std::string> chatIds;
    chatIds.reserve(rows.size());
    for (const auto& row : rows) {
        chatIds.push_back(row.chatId);
    }
    std::map<std::string, std::vector<ChatParticipant>> participants;
    try {
        participants = reader_->fetchChatParticipants(shadowPath, chatIds);
    } catch (const std::exception& e) {
        const std::set<std::string> distinct(chatIds.begin(), chatIds.end());
        logger().warning(
            "citation_navigation_targets_failed",
            {{"conversation_count", std::to_string(distinct.size())}, {"error", e.what()}});
        participants.clear();
    }

    auto sources = projectSources(evidence, rows, participants);
    logger().info("citations_resolved",
                  {{"selected_message_guids", std::to_string(guids.size())},
                   {"conversation_sources", std::to_string(conversationCount(sources))},
                   {"supporting_messages", std::to_string(supportingMessageCount(sources))},
                   {"query_sources", std::to_string(queryCount(sources))}});
    return {std::move(sources), false};
}

std::vector<AnswerSource> CitationService::projectSources(
    const std::vector<RLMEvidence>& evidence, const std::vector<CitedMessage>& messages,
    const std::map<std::string, std::vector<ChatParticipant>>& participantsByChatId) {
    std::map<std::string, const CitedMessage*> rowsByGuid;
    for (const auto& row : messages) {
        rowsByGuid.try_emplace(row.guid, &row);
    }
    std::set<std::string> seen;
    std::map<std::string, ConversationAccumulator> accumulators;
    // A conversation's accumulator id, or a finished query citation; fixes the output order.
    std::vector<std::variant<std::string, QueryEvidenceSource>> slots;

    for (const auto& record : evidence) {
        if (record.sourceKind == RLMEvidence::SourceKind::query) {
            slots.emplace_back(querySource(record));
            continue;
        }
        std::vector<std::string> guids;
        std::copy_if(record.messageGuids.begin(), record.messageGuids.end(),
                     std::back_inserter(guids), [](const auto& g) { return !g.empty(); });
        if (guids.empty()) {
            continue;
        }
        for (const auto& guid : guids) {
            if (!seen.insert(guid).second) {
                continue;
            }
            const auto found = rowsByGuid.find(guid);
            if (found == rowsByGuid.end()) {
                continue;
            }
            const CitedMessage& row = *found->second;
            const std::string chatId = trimmedText(row.chatId);
            const bool unknown = isUnknownChat(chatId);
            const std::string id = unknown ? "message:" + guid : "conversation:" + chatId;
            std::optional<std::string> name;
            if (row.chatName) {
                if (auto trimmedName = trimmedText(*row.chatName); !trimmedName.empty()) {
                    name = std::move(trimmedName);
                }
            }
            auto [it, created] = accumulators.try_emplace(id);
            auto& accumulator = it->second;
            if (created) {
                accumulator = ConversationAccumulator{
                    id, unknown ? std::nullopt : std::optional(chatId), name, row.isGroup, {row}};
                slots.emplace_back(id);
            } else {
                accumulator.messages.push_back(row);
                accumulator.isGroup = accumulator.isGroup || row.isGroup;
                if (!accumulator.chatName) {
                    accumulator.chatName = name;
                }
            }
        }
        if (record.sourceKind == RLMEvidence::SourceKind::messagesWithQueryFallback) {
            slots.emplace_back(querySource(record));
        }
    }

    std::vector<AnswerSource> sources;
    sources.reserve(slots.size());
    for (auto& slot : slots) {
        if (auto* query = std::get_if<QueryEvidenceSource>(&slot)) {
            sources.push_back(AnswerSource{std::move(*query)});
            continue;
        }
        auto& accumulator = accumulators.at(std::get<std::string>(slot));
        std::stable_sort(accumulator.messages.begin(), accumulator.messages.end(),
                         [](const CitedMessage& a, const CitedMessage& b) {
                             return a.timestampUnix != b.timestampUnix
                                        ? a.timestampUnix < b.timestampUnix
                                        : a.guid < b.guid;
                         });
        ConversationSource conversation;
        conversation.id = accumulator.id;
        conversation.chatId = accumulator.chatId;
        conversation.isGroup = accumulator.isGroup;
        for (const auto& row : accumulator.messages) {
            conversation.messages.push_back(
                SupportingMessage{row.guid, row.contactName, row.text, row.timestampUnix});
        }
        conversation.title =
            conversationTitle(conversation.messages, accumulator.chatName, accumulator.isGroup);
        if (!accumulator.isGroup && accumulator.chatId) {
            const auto found = participantsByChatId.find(*accumulator.chatId);
            if (found != participantsByChatId.end() && found->second.size() == 1) {
                if (auto address = trimmedText(found->second.front().handle); !address.empty()) {
                    conversation.messagesTarget = MessagesTarget{std::move(address)};
                }
            }
        }
        sources.push_back(AnswerSource{std::move(conversation)});
    }
    return sources;
}

std::optional<CitationService::Preview> CitationService::scalarPreview(const JSONValue& value) {
    if (isScalar(value)) {
        return scalarOf(value);
    }
    if (const auto* object = value.asObject(); object != nullptr && object->size() == 1) {
        return scalarPreview(object->begin()->second);
    }
    return std::nullopt;
}

CitationService::Preview CitationService::queryPreview(const std::optional<JSONValue>& result,
                                                       std::int64_t rowCount) {
    if (!result || result->isNull()) {
        return {QueryEvidencePreview::unavailable(), false};
    }
    if (isScalar(*result)) {
        return scalarOf(*result);
    }
    const JSONValue* single = nullptr;
    if (result->asObject() != nullptr) {
        single = &*result;
    } else if (const auto* array = result->asArray(); array != nullptr && array->size() == 1) {
        single = &array->front();
    }
    if (single != nullptr) {
        if (auto preview = scalarPreview(*single)) {
            return *preview;
        }
    }
    return {QueryEvidencePreview::rows(rowCount), false};
}

std::string CitationService::conversationTitle(const std::vector<SupportingMessage>& messages,
                                               const std::optional<std::string>& chatName,
                                               bool isGroup) {
    if (isGroup) {
        return chatName.value_or("Group conversation");
    }
    std::vector<std::string> names;
    for (const auto& message : messages) {
        const auto& name = message.contactName;
        if (name.empty() || name == "You" ||
            std::find(names.begin(), names.end(), name) != names.end()) {
            continue;
        }
        names.push_back(name);
    }
    if (names.empty()) {
        return "Messages";
    }
    std::string title;
    for (std::size_t i = 0; i < names.size(); ++i) {
        title += (i == 0 ? "" : ", ") + names[i];
    }
    return title;
}

std::size_t CitationService::conversationCount(const std::vector<AnswerSource>& sources) {
    return static_cast<std::size_t>(
        std::count_if(sources.begin(), sources.end(),
                      [](const auto& s) { return s.kind() == AnswerSource::Kind::conversation; }));
}

std::size_t CitationService::queryCount(const std::vector<AnswerSource>& sources) {
    return sources.size() - conversationCount(sources);
}

std::size_t CitationService::supportingMessageCount(const std::vector<AnswerSource>& sources) {
    std::size_t count = 0;
    for (const auto& source : sources) {
        if (const auto* conversation = std::get_if<ConversationSource>(&source.payload)) {
            count += conversation->messages.size();
        }
    }
    return count;
}

ResolvedSources CitationService::boundedForPersistence(const ResolvedSources& input) {
    bool cut = false;
    std::vector<const AnswerSource*> kept;
    std::size_t keptQueries = 0;
    for (const auto& source : input.sources) {
        const auto* conversation = std::get_if<ConversationSource>(&source.payload);
        // Left out: anything past the source limit, queries past theirs, and conversations
        // without a message to quote.
        if (kept.size() == maxPersistedSources ||
            (conversation == nullptr && keptQueries == maxPersistedQuerySources) ||
            (conversation != nullptr && conversation->messages.empty())) {
            cut = true;
        } else {
            kept.push_back(&source);
            keptQueries += conversation == nullptr ? 1 : 0;
        }
    }

    // Every kept conversation quotes at least one message; the rest of the budget goes round
    // in passes, one more each, to those that still have more to show.
    std::vector<std::size_t> allowances;
    std::vector<std::size_t> available;
    for (const auto* source : kept) {
        if (const auto* conversation = std::get_if<ConversationSource>(&source->payload)) {
            allowances.push_back(1);
            available.push_back(conversation->messages.size());
        }
    }
    std::size_t rest = maxPersistedSupportingMessages > allowances.size()
                           ? maxPersistedSupportingMessages - allowances.size()
                           : 0;
    bool gave = true;
    while (rest > 0 && gave) {
        gave = false;
        for (std::size_t i = 0; i < allowances.size() && rest > 0; ++i) {
            if (available[i] > allowances[i]) {
                ++allowances[i];
                --rest;
                gave = true;
            }
        }
    }

    ResolvedSources output;
    std::size_t conversationIndex = 0;
    for (const auto* source : kept) {
        if (const auto* conversation = std::get_if<ConversationSource>(&source->payload)) {
            ConversationSource bounded = *conversation;
            const std::size_t allowed = allowances[conversationIndex++];
            if (bounded.messages.size() > allowed) {
                bounded.messages.resize(allowed);
                bounded.messagesTruncated = true;
            }
            for (auto& message : bounded.messages) {
                message.text = graphemeCut(message.text, maxPersistedMessageCharacters).first;
            }
            output.sources.push_back(AnswerSource{std::move(bounded)});
            continue;
        }
        QueryEvidenceSource query = std::get<QueryEvidenceSource>(source->payload);
        if (auto* scalar = std::get_if<QueryEvidencePreview::Scalar>(&query.preview.value)) {
            auto [shortened, wasCut] = graphemeCut(scalar->value, maxPreviewCharacters);
            scalar->value = std::move(shortened);
            query.resultTruncated = query.resultTruncated || wasCut;
        }
        output.sources.push_back(AnswerSource{std::move(query)});
    }
    output.truncated = input.truncated || cut;

    if (output.sources != input.sources || (cut && !input.truncated)) {
        logger().warning(
            "persisted_citations_truncated",
            {{"source_count", std::to_string(input.sources.size())},
             {"persisted_source_count", std::to_string(output.sources.size())},
             {"supporting_message_count", std::to_string(supportingMessageCount(input.sources))},
             {"persisted_supporting_message_count",
              std::to_string(supportingMessageCount(output.sources))},
             {"query_count", std::to_string(queryCount(input.sources))},
             {"persisted_query_count", std::to_string(queryCount(output.sources))}});
    }
    return output;
}

}  // namespace vask
