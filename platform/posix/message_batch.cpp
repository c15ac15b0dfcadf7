#include "platform/posix/message_batch.h"

#include <algorithm>
#include <cerrno>

namespace platform {

MessageBatch::MessageBatch(unsigned char* buffers, std::size_t buffer_size, int count)
    : count(std::min(count, kMaxReceiveBatch)) {
  for (int i = 0; i < this->count; ++i) {
    vectors_[i] = {buffers + static_cast<std::size_t>(i) * buffer_size, buffer_size};
    headers[i] = {};
    headers[i].msg_hdr.msg_iov = &vectors_[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
}

int MessageBatch::Receive(int socket, std::error_code& error) {
  const int received =
      ::recvmmsg(socket, headers, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  if (received >= 0) {
    return received;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return 0;
  }
  error.assign(errno, std::generic_category());
  return -1;
}

}  // namespace platform
