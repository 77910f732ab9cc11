#include "engine/relay_event_collector.h"

#include <nlohmann/json.hpp>

#include "platform/json_value.h"
#include "records/trace_object.h"

namespace vask {

void RelayEventCollector::append(std::string_view chunk) {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        std::size_t start = 0;
        for (auto end = chunk.find('\n'); end != std::string_view::npos;
             end = chunk.find('\n', start)) {
            // Only the new bytes are searched: what is pending holds no line feed.
            const std::string_view tail = chunk.substr(start, end - start);
            if (!discardingLine_ && pending_.size() + tail.size() <= maximumLineBytes) {
                pending_.append(tail);
                lines.push_back(std::move(pending_));
            }
            pending_.clear();
            discardingLine_ = false;
            start = end + 1;
        }
        const std::string_view rest = chunk.substr(start);
        if (!discardingLine_ && pending_.size() + rest.size() <= maximumLineBytes) {
            pending_.append(rest);
        } else {
            pending_.clear();
            pending_.shrink_to_fit();
            discardingLine_ = true;
        }
    }
    for (const auto& line : lines) {
        handleLine(line);
    }
}

void RelayEventCollector::handleLine(std::string_view line) {
    if (line.empty() || JSONValue::nestsTooDeeply(line)) {
        return;
    }
    const auto object = nlohmann::json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        return;
    }
    const auto* typePointer = trace::string(object, "type");
    if (typePointer == nullptr) {
        return;
    }
    const std::string type = *typePointer;
    if (callbacks_.onEventType) {
        callbacks_.onEventType(type);
    }

    if (auto event = ZendrelExecutionEvent::traceObject(object)) {
        if (callbacks_.onExecutionEvent) {
            callbacks_.onExecutionEvent(*event);
        }
    } else if (type == "code" || type == "output" || type == "execution_error") {
        const auto version = trace::integer(object, "version");
        if (version && *version != 6) {
            bool firstReport = false;
            {
                std::lock_guard lock(mutex_);
                firstReport = reportedUnsupportedExecutionVersions_.insert(*version).second;
            }
            if (firstReport && callbacks_.onUnsupportedExecutionVersion) {
                callbacks_.onUnsupportedExecutionVersion(*version);
            }
        }
    }

    if (auto snapshot = RLMUsageSnapshot::traceObject(object)) {
        if (callbacks_.onUsageProgress) {
            callbacks_.onUsageProgress(*snapshot);
        }
    }

    if (type == "progress") {
        if (const auto* status = trace::string(object, "status"); status && callbacks_.onProgress) {
            callbacks_.onProgress(*status);
        }
    } else if (type == "reasoning_delta") {
        if (const auto* text = trace::string(object, "text"); text && callbacks_.onReasoning) {
            callbacks_.onReasoning(*text);
        }
    } else if (type == "startup") {
        if (callbacks_.onStartup) {
            const auto* version = trace::string(object, "engine_version");
            callbacks_.onStartup(RLMEngineStartup{version ? *version : "unknown",
                                                  trace::integer(object, "runner_protocol"),
                                                  trace::integer(object, "provider_protocol")});
        }
    }
}

}  // namespace vask
