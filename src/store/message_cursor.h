#pragma once

#include <cstdint>

namespace vask {

// Keyset cursor of the paged shadow-database queries: the last row already seen. Pages run by
// timestamp descending, then row id descending, so paging costs the same at any depth.
struct MessageCursor {
    std::int64_t timestamp = 0;    // Messages epoch, nanoseconds
    std::int64_t shadowRowid = 0;  // the shadow database's own row id, not the Messages one

    bool operator==(const MessageCursor&) const = default;
};

}  // namespace vask
