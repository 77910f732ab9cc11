#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "store/persona_message.h"
#include "store/thread_message.h"

namespace vask {

// A bounded sample of the user's own writing for drafting a reply in their voice: the tail of
// the conversation, texts sent to this contact, and texts sent to others when those are few.
struct PersonaContext {
    std::vector<ThreadMessage> threadTail;      // oldest first
    std::vector<std::string> contactExemplars;  // newest first
    std::vector<std::string> globalExemplars;   // newest first

    static const PersonaContext& empty();

    bool isEmpty() const;
    // "persona", "global-only", "context-only" or "generic": what the context has to offer.
    std::string tier() const;

    bool operator==(const PersonaContext&) const = default;
};

// What the loopback endpoint serves to the helper: no global exemplars, rows keep their guids.
struct ChatPersonaContext {
    std::vector<PersonaThreadMessage> threadTail;   // oldest first
    std::vector<PersonaExemplar> contactExemplars;  // newest first

    bool operator==(const ChatPersonaContext&) const = default;
};

// Keys "thread_tail" and "contact_exemplars", both required when read; from_json throws
// nlohmann::json::exception.
void to_json(nlohmann::json& json, const ChatPersonaContext& context);
void from_json(const nlohmann::json& json, ChatPersonaContext& context);

// Builds persona contexts from shadow-database rows. Pure: no I/O, safe on any thread. Lengths
// are counted in user-perceived characters, so a cut never splits an emoji or an accent.
class PersonaContextBuilder {
  public:
    static constexpr int contactExemplarCap = 12;
    static constexpr int contactExemplarCharCap = 200;
    static constexpr int globalExemplarCap = 5;
    static constexpr int globalExemplarCharCap = 120;
    static constexpr int globalSkipThreshold = 8;
    static constexpr int threadTailCap = 6;
    static constexpr int threadTailCharCap = 280;
    // Rows a caller fetches per wanted exemplar, so filtering can still fill the cap.
    static constexpr int overFetchFactor = 4;

    // `threadRows` oldest first; the exemplar rows newest first.
    static PersonaContext build(const std::vector<ThreadMessage>& threadRows,
                                const std::vector<std::string>& contactRows,
                                const std::vector<std::string>& globalRows);

    // The caps are clamped to 0...12 and 0...6.
    static ChatPersonaContext buildChatContext(const std::vector<PersonaThreadMessage>& threadRows,
                                               const std::vector<PersonaExemplar>& contactRows,
                                               int contactCap, int tailCap);

    // Every line is an attachment placeholder such as "at_3_9F2C-01".
    static bool isAttachmentRef(std::string_view text);
    // Every whitespace-separated piece is an http or https link.
    static bool isLinkOnly(std::string_view text);
    // The text a tapback leaves behind ("Loved “…”", "Liked an image").
    static bool isReaction(std::string_view text);
    // Attachment placeholders (U+FFFC) removed, then whitespace and newlines trimmed.
    static std::string normalized(std::string_view text);

    static std::vector<std::string> exemplars(const std::vector<std::string>& rows, int cap,
                                              int charCap);
};

}  // namespace vask
