#include "memory/memory_settings_presentation.h"

#include "memory/memory_mutation_validator.h"

namespace vask::MemorySettingsPresentation {

std::string summary(bool isAvailable, int count) {
    if (!isAvailable) {
        return "Memory unavailable";
    }
    if (count == 1) {
        return "1 saved association";
    }
    return std::to_string(count) + " saved associations";
}

KeyringHold keyringHold(const AuthMode& mode, bool unlocking) {
    if (mode.isKeyringLocked()) {
        return unlocking ? KeyringHold::unlocking : KeyringHold::locked;
    }
    return mode.isKeyringNotAnswering()   ? KeyringHold::notAnswering
           : mode.isKeyringNotAvailable() ? KeyringHold::notAvailable
                                          : KeyringHold::none;
}

std::string summary(bool hasStore, bool isAvailable, int count, KeyringHold hold) {
    if (isAvailable || !hasStore) {
        return summary(isAvailable, count);
    }
    switch (hold) {
        case KeyringHold::locked:
            return std::string(keyringLockedText);
        case KeyringHold::unlocking:
            return std::string(keyringUnlockingText);
        case KeyringHold::notAnswering:
            return std::string(keyringNotAnsweringText);
        case KeyringHold::notAvailable:
            return std::string(keyringNotAvailableText);
        case KeyringHold::none:
            break;
    }
    return summary(false, count);
}

bool hasValidContent(std::string_view term, std::string_view definition) {
    try {
        MemoryMutationValidator::content(term, MemoryMutationValidator::maxTermBytes);
        MemoryMutationValidator::content(definition, MemoryMutationValidator::maxDefinitionBytes);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

ManagerContent managerContent(bool isLoading, bool isEmpty) {
    if (isLoading && isEmpty) {
        return ManagerContent::loading;
    }
    return isEmpty ? ManagerContent::empty : ManagerContent::list;
}

bool forgetAllEnabled(bool isLoading, bool isEmpty) {
    return !isLoading && !isEmpty;
}

std::string badge(MemoryProvenance provenance) {
    return provenance == MemoryProvenance::inferred ? "Auto-saved" : "Saved by you";
}

std::string editIdentifier(const Uuid& id) {
    return "edit-memory-" + id.lowercaseString();
}

std::string forgetIdentifier(const Uuid& id) {
    return "forget-memory-" + id.lowercaseString();
}

std::optional<Uuid> requestToPresent(const std::optional<Uuid>& pending, bool isAvailable) {
    if (!pending || !isAvailable) {
        return std::nullopt;
    }
    return pending;
}

}  // namespace vask::MemorySettingsPresentation
