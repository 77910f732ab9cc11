#include "memory/memory_mutation_validator.h"

#include <optional>
#include <set>

#include "memory/memory_directive_kind.h"
#include "platform/text.h"

namespace vask {
namespace {

using Case = MemoryMutationValidationError::Case;

const char* caseName(Case errorCase) {
    switch (errorCase) {
        case Case::missingOperations:
            return "missingOperations";
        case Case::invalidOperations:
            return "invalidOperations";
        case Case::tooManyOperations:
            return "tooManyOperations";
        case Case::invalidOperationSchema:
            return "invalidOperationSchema";
        case Case::invalidContent:
            return "invalidContent";
        case Case::invalidID:
            return "invalidID";
        case Case::operationDoesNotMatchDirective:
            return "operationDoesNotMatchDirective";
        case Case::notDurableStatement:
            return "notDurableStatement";
    }
    return "unknown";
}

const std::set<std::string>& keysOf(MemoryMutationOperation operation) {
    static const std::set<std::string> create = {"op", "term", "definition"};
    static const std::set<std::string> suggest = {"op", "term", "definition", "rationale"};
    static const std::set<std::string> update = {"op", "id", "term", "definition"};
    static const std::set<std::string> forget = {"op", "id"};
    switch (operation) {
        case MemoryMutationOperation::create:
            return create;
        case MemoryMutationOperation::suggest:
            return suggest;
        case MemoryMutationOperation::update:
            return update;
        case MemoryMutationOperation::forget:
            return forget;
    }
    return create;
}

const JSONValue* field(const JSONValue::Object& object, const std::string& key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &found->second;
}

bool isDurableStatement(std::string_view userText) {
    const auto trimmedText = text::trimmed(userText);
    if (trimmedText.empty()) {
        return false;
    }
    const auto lowered = text::toLower(trimmedText);
    return lowered.find('?') == std::string::npos && !memory_directive::startsLikeQuestion(lowered);
}

MemoryMutation element(const JSONValue& value, std::optional<MemoryDirectiveKind> directive) {
    const auto* object = value.asObject();
    const JSONValue* op = object != nullptr ? field(*object, "op") : nullptr;
    const auto* opName = op != nullptr ? op->asString() : nullptr;
    const auto operation = opName != nullptr ? memoryMutationOperation(*opName) : std::nullopt;
    if (!operation) {
        throw MemoryMutationValidationError(Case::operationDoesNotMatchDirective);
    }
    const bool admissible =
        directive ? memory_directive::allowedOperations(*directive).contains(*operation)
                  : *operation == MemoryMutationOperation::suggest;
    if (!admissible) {
        throw MemoryMutationValidationError(Case::operationDoesNotMatchDirective);
    }
    std::set<std::string> keys;
    for (const auto& [key, unused] : *object) {
        keys.insert(key);
    }
    if (keys != keysOf(*operation)) {
        throw MemoryMutationValidationError(Case::invalidOperationSchema);
    }
    using V = MemoryMutationValidator;
    const auto term = [&] { return V::content(field(*object, "term"), V::maxTermBytes); };
    const auto definition = [&] {
        return V::content(field(*object, "definition"), V::maxDefinitionBytes);
    };
    switch (*operation) {
        case MemoryMutationOperation::create: {
            auto t = term();
            return {MemoryMutation::Create{std::move(t), definition()}};
        }
        case MemoryMutationOperation::suggest: {
            auto t = term();
            auto d = definition();
            return {MemoryMutation::Suggest{
                std::move(t), std::move(d),
                V::content(field(*object, "rationale"), V::maxRationaleBytes)}};
        }
        case MemoryMutationOperation::update: {
            auto t = term();
            auto d = definition();
            return {
                MemoryMutation::Update{V::id(field(*object, "id")), std::move(t), std::move(d)}};
        }
        case MemoryMutationOperation::forget:
            return {MemoryMutation::Forget{V::id(field(*object, "id"))}};
    }
    throw MemoryMutationValidationError(Case::operationDoesNotMatchDirective);
}

}  // namespace

MemoryMutationValidationError::MemoryMutationValidationError(Case errorCase)
    : Error(std::string("Memory request rejected: ") + caseName(errorCase)), case_(errorCase) {}

std::vector<MemoryMutation> MemoryMutationValidator::validate(const JSONValue::Object& metadata,
                                                              std::string_view userText) {
    const auto* operations = field(metadata, "memory_operations");
    if (operations == nullptr) {
        throw MemoryMutationValidationError(Case::missingOperations);
    }
    const auto* array = operations->asArray();
    if (array == nullptr) {
        throw MemoryMutationValidationError(Case::invalidOperations);
    }
    if (array->empty()) {
        throw MemoryMutationValidationError(Case::missingOperations);
    }
    const auto directive = memory_directive::classify(userText);
    const std::size_t limit = directive ? maxDirectiveOperations : maxSuggestedOperations;
    if (array->size() > limit) {
        throw MemoryMutationValidationError(Case::tooManyOperations);
    }
    if (!directive && !isDurableStatement(userText)) {
        throw MemoryMutationValidationError(Case::notDurableStatement);
    }
    std::vector<MemoryMutation> mutations;
    mutations.reserve(array->size());
    std::set<Uuid> targets;
    for (const auto& value : *array) {
        mutations.push_back(element(value, directive));
    }
    for (const auto& mutation : mutations) {
        const Uuid* target = nullptr;
        if (const auto* update = std::get_if<MemoryMutation::Update>(&mutation.value)) {
            target = &update->id;
        } else if (const auto* forget = std::get_if<MemoryMutation::Forget>(&mutation.value)) {
            target = &forget->id;
        }
        if (target != nullptr && !targets.insert(*target).second) {
            throw MemoryMutationValidationError(Case::invalidOperations);
        }
    }
    return mutations;
}

std::string MemoryMutationValidator::content(const JSONValue* value, std::size_t maxBytes) {
    const auto* text = value != nullptr ? value->asString() : nullptr;
    if (text == nullptr) {
        throw MemoryMutationValidationError(Case::invalidContent);
    }
    return content(*text, maxBytes);
}

std::string MemoryMutationValidator::content(std::string_view value, std::size_t maxBytes) {
    const auto trimmedText = text::trimmed(value);
    if (trimmedText.empty() || trimmedText.find('\0') != std::string_view::npos ||
        trimmedText.size() > maxBytes) {
        throw MemoryMutationValidationError(Case::invalidContent);
    }
    return std::string(trimmedText);
}

Uuid MemoryMutationValidator::id(const JSONValue* value) {
    const auto* text = value != nullptr ? value->asString() : nullptr;
    if (text == nullptr) {
        throw MemoryMutationValidationError(Case::invalidID);
    }
    const auto parsed = Uuid::parse(*text);
    if (!parsed || parsed->lowercaseString() != *text) {
        throw MemoryMutationValidationError(Case::invalidID);
    }
    return *parsed;
}

}  // namespace vask
