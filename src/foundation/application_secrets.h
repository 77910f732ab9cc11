#pragma once

#include <string_view>

namespace vask {

// The relay's API key. Of Vask's variables it is the one the RLM helper never gets in its
// environment: the key reaches the helper only inside its request.
inline constexpr std::string_view relayApiKeyVariable = "CORVANE_API_KEY";

// Whether the environment variable `name` holds what Vask itself was given to reach the relay
// and its account (the relay's API key, tokens, the service addresses). Children that run on the
// user's behalf (desktop openers, the search command, the page drawer) are spawned without them.
bool isApplicationSecret(std::string_view name);

}  // namespace vask
