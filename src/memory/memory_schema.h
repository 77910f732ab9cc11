#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vask::memory_schema {

constexpr std::int32_t currentVersion = 3;

// The statements that bring the file from `version - 1` to `version`, in order; empty for a
// version that has no migration.
std::span<const std::string_view> migrationStatements(std::int32_t version);

}  // namespace vask::memory_schema
