#pragma once

namespace vask {

// Posted with the user-defaults store as sender after a preset refused for the plan was cleared
// from that store; the catalog service of that store re-reads the record and refetches.
inline constexpr const char* presetCatalogDidGoStaleNotification =
    "ai.ternwick.presetCatalogDidGoStale";

}  // namespace vask
