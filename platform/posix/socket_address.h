#ifndef LUMORET_PLATFORM_POSIX_SOCKET_ADDRESS_H
#define LUMORET_PLATFORM_POSIX_SOCKET_ADDRESS_H

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/icmp_socket.h"

namespace platform {

// The address in a socket address of either family (length bytes of it valid, as the
// system filled it in), IPv4 in its mapped form; all zero for anything else.
AddressBytes ToAddressBytes(const sockaddr_in6& address, socklen_t length);

}  // namespace platform

#endif  // LUMORET_PLATFORM_POSIX_SOCKET_ADDRESS_H
