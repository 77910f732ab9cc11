#include "proactive/persona_context.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_set>

#include "platform/text.h"

// ICU's UTF-8 macros are C and cast the old way.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace vask {
namespace {

constexpr std::string_view objectReplacementCharacter = "\xEF\xBF\xBC";  // U+FFFC
constexpr std::string_view attachmentPlaceholder = "[sent an attachment]";

template <typename Row, typename Output, typename RawText, typename Transform>
std::vector<Output> selectExemplars(const std::vector<Row>& rows, int cap, int charCap,
                                    RawText rawText, Transform transform) {
    std::vector<Output> result;
    if (cap < 1 || rows.empty()) {
        return result;
    }
    std::unordered_set<std::string> seen;
    for (const Row& row : rows) {
        std::string text = PersonaContextBuilder::normalized(rawText(row));
        if (text.empty() || PersonaContextBuilder::isReaction(text) ||
            PersonaContextBuilder::isAttachmentRef(text) ||
            PersonaContextBuilder::isLinkOnly(text)) {
            continue;
        }
        if (!seen.insert(text).second) {
            continue;
        }
        std::string cut(text::graphemePrefix(text, static_cast<std::size_t>(charCap)));
        result.push_back(transform(row, std::move(cut)));
        if (result.size() >= static_cast<std::size_t>(cap)) {
            break;
        }
    }
    return result;
}

std::string threadTailText(std::string_view raw) {
    const std::string text = PersonaContextBuilder::normalized(raw);
    if (text.empty() || PersonaContextBuilder::isAttachmentRef(text)) {
        return std::string(attachmentPlaceholder);
    }
    return std::string(text::graphemePrefix(
        text, static_cast<std::size_t>(PersonaContextBuilder::threadTailCharCap)));
}

// "at_", decimal digits (any script, as a regular expression's \d), "_", then hexadecimal
// digits and hyphens, filling the whole line.
bool isAttachmentPlaceholderLine(std::string_view line) {
    if (!line.starts_with("at_")) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(line.data());
    const auto length = static_cast<int32_t>(line.size());
    int32_t index = 3;
    int digits = 0;
    while (index < length) {
        int32_t next = index;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || u_charType(c) != U_DECIMAL_DIGIT_NUMBER) {
            break;
        }
        ++digits;
        index = next;
    }
    if (digits == 0 || index >= length || line[static_cast<std::size_t>(index)] != '_') {
        return false;
    }
    const std::string_view rest = line.substr(static_cast<std::size_t>(index) + 1);
    return !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) {
        return c == '-' || text::hexDigitValue(c) >= 0;
    });
}

}  // namespace

const PersonaContext& PersonaContext::empty() {
    static const PersonaContext emptyContext;
    return emptyContext;
}

bool PersonaContext::isEmpty() const {
    return threadTail.empty() && contactExemplars.empty() && globalExemplars.empty();
}

std::string PersonaContext::tier() const {
    if (!contactExemplars.empty()) {
        return "persona";
    }
    if (!globalExemplars.empty()) {
        return "global-only";
    }
    if (!threadTail.empty()) {
        return "context-only";
    }
    return "generic";
}

void to_json(nlohmann::json& json, const ChatPersonaContext& context) {
    json = {{"thread_tail", context.threadTail}, {"contact_exemplars", context.contactExemplars}};
}

void from_json(const nlohmann::json& json, ChatPersonaContext& context) {
    json.at("thread_tail").get_to(context.threadTail);
    json.at("contact_exemplars").get_to(context.contactExemplars);
}

std::string PersonaContextBuilder::normalized(std::string_view text) {
    std::string stripped;
    stripped.reserve(text.size());
    std::size_t from = 0;
    for (auto at = text.find(objectReplacementCharacter); at != std::string_view::npos;
         at = text.find(objectReplacementCharacter, from)) {
        stripped.append(text, from, at - from);
        from = at + objectReplacementCharacter.size();
    }
    stripped.append(text, from);
    return std::string(text::trimmed(stripped));
}

bool PersonaContextBuilder::isReaction(std::string_view text) {
    static constexpr std::array<std::string_view, 6> verbs = {
        "Loved", "Liked", "Disliked", "Laughed at", "Emphasized", "Questioned"};
    const bool endsQuoted = text.ends_with("\xE2\x80\x9D") || text.ends_with('"');
    for (const auto verb : verbs) {
        if (!text.starts_with(verb) || text.size() <= verb.size() || text[verb.size()] != ' ') {
            continue;
        }
        const std::string_view rest = text.substr(verb.size() + 1);
        if (rest.starts_with("\xE2\x80\x9C") || rest.starts_with('"') || rest.starts_with("an ") ||
            rest.starts_with("a ") || endsQuoted) {
            return true;
        }
    }
    return false;
}

bool PersonaContextBuilder::isAttachmentRef(std::string_view text) {
    const auto lines = text::nonEmptyLines(text);
    return !lines.empty() && std::all_of(lines.begin(), lines.end(), isAttachmentPlaceholderLine);
}

bool PersonaContextBuilder::isLinkOnly(std::string_view text) {
    const auto pieces = text::whitespaceSeparated(text);
    return !pieces.empty() && std::all_of(pieces.begin(), pieces.end(), [](std::string_view p) {
        const std::string lowered = text::toLower(p);
        return lowered.starts_with("http://") || lowered.starts_with("https://");
    });
}

std::vector<std::string> PersonaContextBuilder::exemplars(const std::vector<std::string>& rows,
                                                          int cap, int charCap) {
    return selectExemplars<std::string, std::string>(
        rows, cap, charCap, [](const std::string& row) -> std::string_view { return row; },
        [](const std::string&, std::string cut) { return cut; });
}

PersonaContext PersonaContextBuilder::build(const std::vector<ThreadMessage>& threadRows,
                                            const std::vector<std::string>& contactRows,
                                            const std::vector<std::string>& globalRows) {
    PersonaContext context;
    context.contactExemplars = exemplars(contactRows, contactExemplarCap, contactExemplarCharCap);
    if (context.contactExemplars.size() < static_cast<std::size_t>(globalSkipThreshold)) {
        context.globalExemplars = exemplars(globalRows, globalExemplarCap, globalExemplarCharCap);
    }
    const std::size_t keep = std::min(threadRows.size(), static_cast<std::size_t>(threadTailCap));
    for (auto it = threadRows.end() - static_cast<std::ptrdiff_t>(keep); it != threadRows.end();
         ++it) {
        context.threadTail.push_back({it->sender, threadTailText(it->text), it->isFromMe});
    }
    return context;
}

ChatPersonaContext PersonaContextBuilder::buildChatContext(
    const std::vector<PersonaThreadMessage>& threadRows,
    const std::vector<PersonaExemplar>& contactRows, int contactCap, int tailCap) {
    ChatPersonaContext context;
    context.contactExemplars = selectExemplars<PersonaExemplar, PersonaExemplar>(
        contactRows, std::clamp(contactCap, 0, contactExemplarCap), contactExemplarCharCap,
        [](const PersonaExemplar& row) -> std::string_view { return row.text; },
        [](const PersonaExemplar& row, std::string cut) {
            return PersonaExemplar{row.guid, std::move(cut)};
        });
    const std::size_t keep = std::min(
        threadRows.size(), static_cast<std::size_t>(std::clamp(tailCap, 0, threadTailCap)));
    for (auto it = threadRows.end() - static_cast<std::ptrdiff_t>(keep); it != threadRows.end();
         ++it) {
        context.threadTail.push_back(
            {it->guid, it->sender, threadTailText(it->text), it->isFromMe});
    }
    return context;
}

}  // namespace vask
