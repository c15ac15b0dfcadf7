#include "platform/memory.h"

// Any C library header defines __GLIBC__ where the C library is glibc.
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

void ReleaseFreeMemory() {
#if defined(__GLIBC__)
  // glibc keeps freed blocks in its arenas; other allocators return them themselves.
  ::malloc_trim(0);
#endif
}

void LimitHeapArenas() {
#if defined(__GLIBC__)
  // Two: the engine's worker and a scrape rarely contend, and the peak stays one scrape.
  ::mallopt(M_ARENA_MAX, 2);
#endif
}

}  // namespace platform
