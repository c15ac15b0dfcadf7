#include "platform/memory.h"

namespace platform {

// The Windows heap decommits large free blocks by itself.
void ReleaseFreeMemory() {}

// The Windows heap is one per process already.
void LimitHeapArenas() {}

}  // namespace platform
