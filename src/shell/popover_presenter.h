#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the menu-bar popover shows, decided without the toolkit.
namespace vask::popover {

// "1 message", "999 messages", "1k messages", "12k messages": thousands are cut, never rounded.
std::string formatCount(std::int64_t count, std::string_view unit);

struct ErrorEntry {
    std::string label;
    std::string message;
    bool operator==(const ErrorEntry&) const = default;
};

struct ErrorSources {
    std::optional<std::string> config;
    std::optional<std::string> sync;
    std::optional<std::string> contacts;
    std::optional<std::string> chat;
    std::optional<std::string> access;
};

// Always in the order Config, Sync, Contacts, Chat, Access; a source without an error is left out.
std::vector<ErrorEntry> activeErrors(const ErrorSources& sources);

// What a click on an error row copies.
std::string copiedErrorText(const ErrorEntry& entry);

}  // namespace vask::popover
