#include "platform/memory.h"

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

}  // namespace platform
