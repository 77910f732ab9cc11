#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/auth_mode.h"
#include "memory/memory_association.h"
#include "platform/uuid.h"

// What the memory section of Settings and its manager show, decided without the toolkit.
namespace vask::MemorySettingsPresentation {

inline constexpr const char* privacyNote =
    "Saved only on this computer and isolated to your current account.";
inline constexpr const char* forgetAllMessage =
    "This removes every saved association for the current account on this computer.";

enum class ManagerContent { loading, empty, list };

// The account's memory is named by the account, which a keyring may hold back: locked (its
// prompt open while an unlock asked from Settings runs), not answering, or not on the bus.
enum class KeyringHold { none, locked, unlocking, notAnswering, notAvailable };

inline constexpr std::string_view keyringLockedText =
    "Your keyring is locked. Unlock it to see your memory.";
inline constexpr std::string_view keyringUnlockingText =
    "Unlock your keyring in its prompt to see your memory.";
inline constexpr std::string_view keyringNotAnsweringText = "Your keyring is not answering.";
inline constexpr std::string_view keyringNotAvailableText = "Your keyring is not available.";

// What the credentials' mode holds back; `unlocking` while the keyring's prompt is open.
KeyringHold keyringHold(const AuthMode& mode, bool unlocking);

// "Memory unavailable", "1 saved association", "N saved associations".
std::string summary(bool isAvailable, int count);

// The summary as Settings shows it: while a keyring holds the account back, what it does, in
// place of "Memory unavailable"; memory without a store (off, or not opened) is unavailable
// whatever the keyring does.
std::string summary(bool hasStore, bool isAvailable, int count, KeyringHold hold);

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
