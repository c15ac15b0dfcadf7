#include "platform/memory.h"

namespace platform {

// The Windows heap decommits large free blocks by itself.
void ReleaseFreeMemory() {}

}  // namespace platform
