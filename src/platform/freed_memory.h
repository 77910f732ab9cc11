#pragma once

namespace vask {

// Hands the pages the allocator holds free, anywhere in its arenas, back to the system. Freed
// blocks amid ones still in use stay with the process otherwise, however long they go unused:
// call it after much was freed at once (a run's buffers, a chat's widgets). Takes about a
// millisecond for a heap of tens of megabytes; does nothing where the allocator is not glibc's.
void returnFreedMemory();

}  // namespace vask
