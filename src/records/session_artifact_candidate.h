#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace vask {

// An entity set as the helper proposed it, before validation. Read leniently: whatever is
// missing or of the wrong type takes its default, so a bad proposal is judged (and rejected) by
// the validator instead of failing the whole response.
struct SessionArtifactCandidate {
    struct Member {
        std::string entityNamespace;
        std::string value;

        bool operator==(const Member&) const = default;
    };

    std::int64_t schemaVersion = -1;
    std::string kind;
    std::string label;
    std::string definition;
    std::vector<Member> members;

    // Never fails.
    static SessionArtifactCandidate fromJson(const nlohmann::json& json) noexcept;

    bool operator==(const SessionArtifactCandidate&) const = default;
};

}  // namespace vask
