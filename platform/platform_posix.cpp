#include "platform/platform.h"

#include <sys/socket.h>
#include <unistd.h>

namespace platform {

unsigned long GetPid() {
  // getpid is a system call of several hundred nanoseconds here, and the receive path
  // asks for every datagram; a process's id does not change.
  static const unsigned long pid = static_cast<unsigned long>(::getpid());
  return pid;
}

void EnlargeReceiveBuffer(int socket, int bytes) {
  // SO_RCVBUFFORCE needs CAP_NET_ADMIN; without it SO_RCVBUF gets what rmem_max allows.
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

}  // namespace platform
