#include "records/title_generator.h"

#include <unicode/utf8.h>

#include "foundation/structured_logger.h"
#include "platform/text.h"

namespace vask {
namespace {

constexpr std::string_view promptHead =
    "Generate a punchy 2-4 word title for this chat. Title Case. No quotes, no trailing "
    "punctuation, no preamble \u2014 output only the title.\n\nUser: ";
constexpr std::string_view assistantHead = "\nAssistant: ";

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// White space that is not a line break: blanks, tabs and the other Unicode spaces.
bool isBlank(char32_t c) {
    return text::isWhitespaceOrNewline(c) && !isLineBreak(c);
}

bool isTrimmedMark(char32_t c) {
    return c == U'"' || c == U'\'' || c == U'.' || c == 0x201C || c == 0x201D;
}

// `s` without the leading and trailing code points for which `strip` holds.
template <typename Predicate>
std::string_view stripped(std::string_view s, Predicate strip) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto length = static_cast<std::int32_t>(s.size());
    std::int32_t start = 0;
    std::int32_t end = 0;
    bool keptAny = false;
    for (std::int32_t offset = 0; offset < length;) {
        const std::int32_t here = offset;
        UChar32 c = 0;
        U8_NEXT(bytes, offset, length, c);
        if (c < 0 || !strip(static_cast<char32_t>(c))) {
            if (!keptAny) {
                start = here;
                keptAny = true;
            }
            end = offset;
        }
    }
    return s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

}  // namespace

std::string TitleGenerator::prompt(std::string_view user, std::string_view assistant) {
    std::string result(promptHead);
    result += text::graphemePrefix(user, excerptCharacters);
    result += assistantHead;
    result += text::graphemePrefix(assistant, excerptCharacters);
    return result;
}

std::optional<std::string> TitleGenerator::generate(std::string_view user,
                                                    std::string_view assistant,
                                                    const Credentials& credentials,
                                                    const Complete& complete) noexcept {
    try {
        const auto reply =
            complete(CompletionRequest{prompt(user, assistant), maxOutputTokens, credentials,
                                       std::string(reasoningEffort), timeout});
        if (!reply) {
            return std::nullopt;
        }
        return sanitize(*reply);
    } catch (const std::exception& error) {
        // The completion promises not to throw; a title is never worth failing the chat for.
        StructuredLogger("title-generator")
            .error("title_generation_failed", {{"error", error.what()}});
        return std::nullopt;
    }
}

std::optional<std::string> TitleGenerator::sanitize(std::string_view raw) {
    std::string title(text::trimmed(raw));
    for (auto& c : title) {
        if (c == '\n') {
            c = ' ';
        }
    }
    title = std::string(stripped(title, isTrimmedMark));
    title = std::string(stripped(title, isBlank));
    if (text::graphemeCount(title) > maxTitleCharacters) {
        title = std::string(text::trimmed(text::graphemePrefix(title, maxTitleCharacters)));
    }
    if (title.empty()) {
        return std::nullopt;
    }
    return title;
}

}  // namespace vask
