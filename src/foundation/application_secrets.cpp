#include "foundation/application_secrets.h"

#include <algorithm>
#include <array>

namespace vask {

bool isApplicationSecret(std::string_view name) {
    // The relay's own variables, whatever they are named after.
    if (name.starts_with("CORVANE_")) {
        return true;
    }
    // Vask's variables that carry a credential, or the addresses of the relay and the account
    // service it signs in with.
    static constexpr std::array<std::string_view, 7> kSecretParts = {
        "KEY", "TOKEN", "SECRET", "PASSWORD", "CREDENTIAL", "RELAY", "CLOUD"};
    return name.starts_with("VASK_") &&
           std::any_of(kSecretParts.begin(), kSecretParts.end(),
                       [&](std::string_view part) { return name.find(part) != name.npos; });
}

}  // namespace vask
