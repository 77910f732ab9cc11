#pragma once

#include <string_view>

namespace vask {

// Standard user-defaults key (not instance-scoped) of the managed plan's normalised tier code:
// written after each managed billing load, removed at sign-out, read back by nobody.
inline constexpr std::string_view managedTierSnapshotKey = "ai.ternwick.managedTierSnapshot";

}  // namespace vask
