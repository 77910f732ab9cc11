#include "platform/freed_memory.h"

// Any C library header defines __GLIBC__ for glibc's.
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace vask {

void returnFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace vask
