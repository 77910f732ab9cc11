#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "memory/memory_association.h"
#include "platform/uuid.h"

// What the memory section of Settings and its manager show, decided without the toolkit.
namespace vask::MemorySettingsPresentation {

inline constexpr const char* privacyNote =
    "Saved only on this computer and isolated to your current account.";
inline constexpr const char* forgetAllMessage =
    "This removes every saved association for the current account on this computer.";

enum class ManagerContent { loading, empty, list };

// "Memory unavailable", "1 saved association", "N saved associations".
std::string summary(bool isAvailable, int count);

// The edit sheet's Save rule: both texts, trimmed, non-empty, without NUL and within their byte
// limits. The texts themselves are passed on as typed.
bool hasValidContent(std::string_view term, std::string_view definition);

// While a reload runs over rows already shown, the rows stay.
ManagerContent managerContent(bool isLoading, bool isEmpty);
bool forgetAllEnabled(bool isLoading, bool isEmpty);

std::string badge(MemoryProvenance provenance);
std::string editIdentifier(const Uuid& id);
std::string forgetIdentifier(const Uuid& id);

// The manager request the panel should act on now: the pending one, only while memory is
// available (otherwise it stays pending).
std::optional<Uuid> requestToPresent(const std::optional<Uuid>& pending, bool isAvailable);

}  // namespace vask::MemorySettingsPresentation
