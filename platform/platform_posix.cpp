#include "platform/platform.h"

#include <unistd.h>

namespace platform {

unsigned long GetPid() {
  return static_cast<unsigned long>(::getpid());
}

}  // namespace platform
