#include "memory/memory_directive_kind.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"

namespace vask::memory_directive {
namespace {

constexpr std::array<const char*, 10> exclusionPatterns = {
    R"(^(please\s+)?remember\s+(when|what|where|who|why|how)\b)",
    R"(^(please\s+)?remember\s+to\b)",
    R"(^(can|could|would|will)\s+you\s+(please\s+)?remember\s+(when|what|where|who|why|how)\b)",
    R"(^(can|could|would|will)\s+you\s+(please\s+)?remember\s+to\b)",
    R"(^i\s+(?:want|need)\s+you\s+to\s+remember\s+(when|what|where|who|why|how)\b)",
    R"(^i\s+(?:want|need)\s+you\s+to\s+remember\s+to\b)",
    R"(^(please\s+)?forget\s+(?:the\s+)?(?:last|previous|current|this)\s+(?:chat|conversation|message|request|question|answer)\b)",
    R"(^(can|could|would|will)\s+you\s+(please\s+)?forget\s+(?:the\s+)?(?:last|previous|current|this)\s+(?:chat|conversation|message|request|question|answer)\b)",
    R"(^(please\s+)?update\s+(me|us|him|her|them)\b)",
    R"(^(can|could|would|will)\s+you\s+(please\s+)?update\s+(me|us|him|her|them)\b)",
};

constexpr std::array<const char*, 3> directivePatterns = {
    R"(^(please\s+)?(remember|associate|save|forget|remove|delete|update|change)\b)",
    R"(^(can|could|would|will)\s+you\s+(please\s+)?(remember|associate|save|forget|remove|delete|update|change)\b)",
    R"(^i\s+(?:want|need)\s+you\s+to\s+(remember|associate|save|forget|remove|delete|update|change)\b)",
};

constexpr const char* memoryPhrasePattern =
    R"(\b(?:memory|association)\b|\bwhat\s+you\s+remember\b)";
constexpr const char* storagePhrasePattern = R"(\b(?:to|in|from)\s+(?:my\s+)?memory\b)";
constexpr const char* meaningPhrasePattern = R"(\b(?:to\s+mean|means|definition)\b)";
constexpr const char* questionPattern =
    R"(^(?:please\s+)?(?:am|are|is|was|were|do|does|did|can|could|would|will|should|may|might|have|has|had|what|when|where|who|whom|whose|why|how)\b)";

// A compiled pattern; RegexPattern is safe to share between threads, each search makes its own
// matcher.
class Pattern {
  public:
    explicit Pattern(const char* source) {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError{};
        pattern_.reset(
            icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(source), parseError, status));
        if (U_FAILURE(status)) {
            throw Error(std::string("invalid memory directive pattern: ") + u_errorName(status));
        }
    }

    // The matched text of the first match, if any.
    std::optional<std::string> find(const icu::UnicodeString& text) const {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(text, status));
        if (U_FAILURE(status) || !matcher->find(status) || U_FAILURE(status)) {
            return std::nullopt;
        }
        std::string matched;
        matcher->group(status).toUTF8String(matched);
        return matched;
    }

    bool matches(const icu::UnicodeString& text) const { return find(text).has_value(); }

  private:
    std::unique_ptr<icu::RegexPattern> pattern_;
};

struct Patterns {
    std::vector<Pattern> exclusions;
    std::vector<Pattern> directives;
    Pattern memoryPhrase{memoryPhrasePattern};
    Pattern storagePhrase{storagePhrasePattern};
    Pattern meaningPhrase{meaningPhrasePattern};
    Pattern question{questionPattern};

    Patterns() {
        for (const char* source : exclusionPatterns) {
            exclusions.emplace_back(source);
        }
        for (const char* source : directivePatterns) {
            directives.emplace_back(source);
        }
    }
};

const Patterns& patterns() {
    static const Patterns compiled;
    return compiled;
}

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

}  // namespace

std::optional<MemoryDirectiveKind> classify(std::string_view text) {
    const auto& p = patterns();
    const auto lowered = unicode(text::toLower(text::trimmed(text)));
    for (const auto& exclusion : p.exclusions) {
        if (exclusion.matches(lowered)) {
            return std::nullopt;
        }
    }
    std::optional<std::string> phrase;
    for (const auto& directive : p.directives) {
        phrase = directive.find(lowered);
        if (phrase) {
            break;
        }
    }
    if (!phrase) {
        return std::nullopt;
    }
    const bool memoryPhrase = p.memoryPhrase.matches(lowered);
    const bool storagePhrase = p.storagePhrase.matches(lowered);
    if (contains(*phrase, "save")) {
        return storagePhrase ? std::optional(MemoryDirectiveKind::save) : std::nullopt;
    }
    if (contains(*phrase, "remove") || contains(*phrase, "delete")) {
        return memoryPhrase || storagePhrase ? std::optional(MemoryDirectiveKind::forget)
                                             : std::nullopt;
    }
    if (contains(*phrase, "update") || contains(*phrase, "change")) {
        return memoryPhrase || storagePhrase || p.meaningPhrase.matches(lowered)
                   ? std::optional(MemoryDirectiveKind::update)
                   : std::nullopt;
    }
    if (contains(*phrase, "forget")) {
        return MemoryDirectiveKind::forget;
    }
    return MemoryDirectiveKind::save;
}

const std::set<MemoryMutationOperation>& allowedOperations(MemoryDirectiveKind kind) {
    static const std::set<MemoryMutationOperation> saving = {MemoryMutationOperation::create,
                                                             MemoryMutationOperation::update};
    static const std::set<MemoryMutationOperation> forgetting = {MemoryMutationOperation::forget};
    return kind == MemoryDirectiveKind::forget ? forgetting : saving;
}

bool startsLikeQuestion(std::string_view lowercased) {
    return patterns().question.matches(unicode(lowercased));
}

}  // namespace vask::memory_directive
