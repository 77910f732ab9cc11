#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rlm_credentials.h"
#include "relay/corvane_responses.h"

namespace vask {

// Asks a model, in one call per batch, which incoming messages need a reply from the user.
class NeedsReplyClassifier {
  public:
    struct Item {
        std::string id;  // chat id
        std::string contactName;
        std::string message;

        bool operator==(const Item&) const = default;
    };

    using Verdicts = std::map<std::string, bool>;
    // One blocking model call; nothing on any failure.
    using Complete = std::function<std::optional<std::string>(const CorvaneResponses::Request&)>;

    static constexpr int maxOutputTokens = 1024;
    static constexpr std::chrono::seconds timeout{25};
    static constexpr std::size_t messageCharCap = 280;

    // Names and texts go in as JSON strings, so a message cannot break out of its own line.
    static std::string buildPrompt(const std::vector<Item>& items);
    static CorvaneResponses::Request request(const std::vector<Item>& items,
                                             const RLMCredentials& credentials);
    // Blocking. No items: no call. Empty when no verdict was obtained.
    static Verdicts classify(const std::vector<Item>& items, const RLMCredentials& credentials,
                             const Complete& complete);
    // The JSON array between the first "[" and the last "]"; verdicts for `knownIDs` only.
    static Verdicts parseVerdicts(std::string_view text, const std::set<std::string>& knownIDs);
};

}  // namespace vask
