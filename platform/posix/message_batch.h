#ifndef LUMORET_PLATFORM_POSIX_MESSAGE_BATCH_H
#define LUMORET_PLATFORM_POSIX_MESSAGE_BATCH_H

#include <sys/socket.h>

#include <cstddef>
#include <system_error>

#include "platform/icmp_socket.h"

namespace platform {

// The headers of one recvmmsg call: up to kMaxReceiveBatch datagrams, datagram i into
// buffers + i * buffer_size. A caller that wants senders or control messages sets them
// in headers before Receive.
class MessageBatch {
 public:
  MessageBatch(unsigned char* buffers, std::size_t buffer_size, int count);

  // Reads without blocking what is queued, up to the batch's count. Returns how many were
  // read, 0 when none was queued (or a signal came first), or -1 with error set.
  int Receive(int socket, std::error_code& error);

  mmsghdr headers[kMaxReceiveBatch];  // the message headers recvmmsg fills in
  int count;                          // how many of headers are in use

 private:
  iovec vectors_[kMaxReceiveBatch];  // each header's one buffer
};

}  // namespace platform

#endif  // LUMORET_PLATFORM_POSIX_MESSAGE_BATCH_H
