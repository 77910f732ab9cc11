#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/structured_logger.h"
#include "records/answer_source.h"
#include "records/citation_message_reader.h"
#include "records/rlm_evidence.h"

namespace vask {

// Turns the evidence of a helper answer into its citations (one per cited chat, quoting the
// messages read back from the shadow database, and one per query record), and bounds citation
// lists before they are stored so saved sessions stay small. Keeps no state between calls.
class CitationService {
  public:
    static constexpr std::size_t maxLookedUpGuids = 200;
    static constexpr std::size_t maxMessageRows = 200;
    static constexpr std::size_t maxPersistedSources = 50;
    static constexpr std::size_t maxPersistedQuerySources = 20;
    static constexpr std::size_t maxPersistedSupportingMessages = 50;
    // User-perceived characters (grapheme clusters).
    static constexpr std::size_t maxPreviewCharacters = 2000;
    static constexpr std::size_t maxPersistedMessageCharacters = 2000;

    using SupportDirectory = std::function<std::filesystem::path()>;

    // `supportDirectory` names the folder holding shadow.db and contacts.db; it may throw.
    CitationService(std::shared_ptr<CitationMessageReader> reader,
                    SupportDirectory supportDirectory);

    // Never fails: each failure is logged and resolution goes on with less data. Blocks on the
    // database reads, so callers run it off the main executor. `truncated` is always false.
    ResolvedSources resolve(const std::vector<RLMEvidence>& evidence) const;

    // At most 50 sources (20 of them queries), 50 quoted messages shared out over the kept
    // conversations, and 2000 characters per quoted text or scalar preview.
    static ResolvedSources boundedForPersistence(const ResolvedSources& input);

    // Guids of the non-query records, empty strings and repeats dropped, the first 200.
    static std::vector<std::string> selectedMessageGuids(const std::vector<RLMEvidence>& evidence);
    static std::vector<AnswerSource> projectSources(
        const std::vector<RLMEvidence>& evidence, const std::vector<CitedMessage>& messages,
        const std::map<std::string, std::vector<ChatParticipant>>& participantsByChatId);

    // A preview and whether it cut the value short.
    using Preview = std::pair<QueryEvidencePreview, bool>;
    static Preview queryPreview(const std::optional<JSONValue>& result, std::int64_t rowCount);
    static std::optional<Preview> scalarPreview(const JSONValue& value);
    static std::string conversationTitle(const std::vector<SupportingMessage>& messages,
                                         const std::optional<std::string>& chatName, bool isGroup);

    static std::size_t conversationCount(const std::vector<AnswerSource>& sources);
    static std::size_t queryCount(const std::vector<AnswerSource>& sources);
    static std::size_t supportingMessageCount(const std::vector<AnswerSource>& sources);

  private:
    static const StructuredLogger& logger();

    std::shared_ptr<CitationMessageReader> reader_;
    SupportDirectory supportDirectory_;
};

}  // namespace vask
