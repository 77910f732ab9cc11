#pragma once

#include <optional>
#include <set>
#include <string_view>

#include "memory/memory_mutation.h"

namespace vask {

// An explicit memory instruction in the user's own question ("remember that ...", "forget ...").
enum class MemoryDirectiveKind { save, forget, update };

namespace memory_directive {

// Nothing when the text is no explicit memory instruction. Pure; safe from any thread.
std::optional<MemoryDirectiveKind> classify(std::string_view text);

// The operations a helper may propose under the directive.
const std::set<MemoryMutationOperation>& allowedOperations(MemoryDirectiveKind kind);

// True when `lowercased` starts like a question ("is ...", "please can ...", "how ...").
bool startsLikeQuestion(std::string_view lowercased);

}  // namespace memory_directive
}  // namespace vask
