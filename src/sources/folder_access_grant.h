#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/structured_logger.h"
#include "platform/user_defaults.h"

namespace vask {

// Access to a folder of the user's own data, kept as a grant in the user's settings: the granted
// value or "denied" under one key. Asking records the grant at once, because opening the folder
// is the user's own choice and nothing else can be asked; a grant once given or refused is not
// asked again.
class FolderAccessGrant {
  public:
    enum class State { notDetermined, granted, denied };

    // Reports whether access was granted, or the reason recording the grant failed.
    using Completion = std::function<void(bool granted, const std::optional<std::string>& error)>;

    // Logs through `logger` as "<eventPrefix>_access_grant_unreadable" and
    // "<eventPrefix>_access_granted".
    FolderAccessGrant(UserDefaults& defaults, std::string_view key, std::string_view grantedValue,
                      StructuredLogger logger, std::string_view eventPrefix);

    // A value this grant did not write reads as a refusal rather than reading the data unasked.
    State state() const;
    // Calls back before it returns.
    void request(const Completion& completion);

  private:
    UserDefaults& defaults_;
    std::string_view key_;
    std::string_view grantedValue_;
    StructuredLogger logger_;
    std::string eventPrefix_;
};

// What an access request answered.
struct AccessAnswer {
    bool granted = false;
    std::optional<std::string> error;
};

// Calls `request` with a completion and waits until that completion is called, from any thread.
AccessAnswer awaitAccess(const std::function<void(FolderAccessGrant::Completion)>& request);

}  // namespace vask
