#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace vask {

// The helper's digest of the request it received, echoed in its response.
struct RLMRequestFingerprint {
    std::string questionHash;
    std::int64_t questionLength = 0;
    std::optional<std::string> contextHash;
    std::int64_t contextLength = 0;
    std::optional<std::string> dbPath;
    bool dbExists = false;
    std::optional<std::int64_t> dbSize;
    std::optional<double> dbMtime;
    std::optional<std::string> contactsPath;
    bool contactsExists = false;
    std::optional<std::int64_t> contactsSize;
    std::optional<double> contactsMtime;
    std::string rootModel;
    std::string subcallModel;
    std::int64_t maxDepth = 0;
    std::int64_t maxCalls = 0;
    std::optional<std::int64_t> maxIterations;
    std::int64_t maxOutputChars = 0;

    // Throws host_json::HostJSONError for a missing required key or a value of the wrong type.
    static RLMRequestFingerprint fromJson(const nlohmann::json& json);

    // 14 entries for the log; never the hashes or the paths.
    std::map<std::string, std::string> operationalLogMetadata() const;

    bool operator==(const RLMRequestFingerprint&) const = default;
};

}  // namespace vask
