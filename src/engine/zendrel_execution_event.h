#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json_fwd.hpp>

namespace vask {

// Where a trace event belongs: the engine's run, its sequence number, nesting depth and loop
// iteration.
struct ZendrelTracePosition {
    std::string runID;
    std::int64_t sequence = 1;
    std::int64_t depth = 0;
    std::int64_t iteration = 1;

    bool operator==(const ZendrelTracePosition&) const = default;
    auto operator<=>(const ZendrelTracePosition&) const = default;
};

// One code-execution trace event of the helper: code it ran, what that printed, or an error.
struct ZendrelExecutionEvent {
    struct Code {
        std::string text;
        bool operator==(const Code&) const = default;
    };
    struct Output {
        std::string stdoutText;
        bool operator==(const Output&) const = default;
    };
    struct ExecutionError {
        std::string errorType;
        std::string message;
        bool operator==(const ExecutionError&) const = default;
    };
    using Payload = std::variant<Code, Output, ExecutionError>;

    // The event's identity: (run id, sequence).
    struct ID {
        std::string runID;
        std::int64_t sequence = 0;
        bool operator==(const ID&) const = default;
        auto operator<=>(const ID&) const = default;
    };

    ZendrelTracePosition position;
    Payload payload;

    ID id() const { return {position.runID, position.sequence}; }

    // Nothing unless the line is a well-formed version 6 "code", "output" or "execution_error".
    static std::optional<ZendrelExecutionEvent> traceObject(const nlohmann::json& object);

    bool operator==(const ZendrelExecutionEvent&) const = default;
};

}  // namespace vask
