#include "platform/posix/socket_address.h"

#include <cstring>

namespace platform {

AddressBytes ToAddressBytes(const sockaddr_in6& address, socklen_t length) {
  AddressBytes bytes{};
  if (address.sin6_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    std::memcpy(bytes.data(), &address.sin6_addr, bytes.size());
  } else if (address.sin6_family == AF_INET && length >= sizeof(sockaddr_in)) {
    sockaddr_in v4;
    std::memcpy(&v4, &address, sizeof v4);
    bytes[10] = bytes[11] = 0xFF;
    std::memcpy(bytes.data() + 12, &v4.sin_addr, 4);
  }
  return bytes;
}

}  // namespace platform
