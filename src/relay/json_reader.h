#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "relay/decoding_error.h"

namespace vask {

// Typed reads of one JSON object with the rules of the relay's replies and of the stored preset
// record: a required key that is missing or null fails, an optional key that is missing or null
// reads as absent, keys nobody asks for are ignored. Failures are DecodingError naming the path.
class JsonReader {
  public:
    // Fails unless `json` is an object.
    JsonReader(const nlohmann::json& json, std::string path);

    bool contains(std::string_view key) const;

    std::string string(std::string_view key) const;
    std::optional<std::string> optionalString(std::string_view key) const;
    std::int64_t integer(std::string_view key) const;
    std::optional<std::int64_t> optionalInteger(std::string_view key) const;
    bool boolean(std::string_view key) const;
    std::optional<bool> optionalBoolean(std::string_view key) const;
    std::optional<double> optionalNumber(std::string_view key) const;
    // Relay timestamps: fractions of seconds are dropped before an internet date-time is read.
    std::optional<Clock::WallTime> optionalDate(std::string_view key) const;
    JsonReader object(std::string_view key) const;
    std::optional<JsonReader> optionalObject(std::string_view key) const;
    std::vector<JsonReader> objectArray(std::string_view key) const;

    [[noreturn]] void fail(std::string_view key, std::string_view problem) const;
    const std::string& path() const { return path_; }

  private:
    const nlohmann::json* find(std::string_view key) const;
    const nlohmann::json& require(std::string_view key) const;
    std::string pathOf(std::string_view key) const;

    const nlohmann::json& json_;
    std::string path_;
};

// Parses JSON text; DecodingError when it is not JSON.
nlohmann::json parseJsonDocument(std::string_view text);

// A relay timestamp: "2025-01-31T12:00:00Z" or the same with a fraction of seconds, which is
// dropped; nothing for any other text.
std::optional<Clock::WallTime> parseRelayTimestamp(std::string_view text);

}  // namespace vask
