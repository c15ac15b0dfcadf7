#include "platform/privileges.h"

namespace platform {

// The manifest asks for the rights up front, and Windows has no capability to give up
// once the socket is open.
void DropPrivileges(Rights /*rights*/) {}

// Windows has no file capabilities and no GTK: the program opens its raw socket itself.
bool RawSocketsInProcess() {
  return true;
}

}  // namespace platform
