#include "platform/icmp_socket.h"

// winsock2.h before windows.h, which would otherwise pull in the old winsock.h; both
// before the headers that build on them.
#include <winsock2.h>
// (kept apart so include sorting cannot reorder them)
#include <windows.h>

#include <process.h>

#include <cerrno>

namespace platform {

unsigned long GetPid() {
  return static_cast<unsigned long>(::_getpid());
}

int OpenRawIcmpSocket(IpFamily family) {
  if (family == IpFamily::kV6) {
    throw RightsError(RightsError::Step::kOpenSocket, EAFNOSUPPORT,
                      "ICMPv6 is not probed on Windows");
  }
  WSADATA data;
  const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
  if (started != 0) {
    throw RightsError(RightsError::Step::kOpenSocket, started, "starting Windows Sockets");
  }
  const SOCKET fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (fd == INVALID_SOCKET) {
    const int error = ::WSAGetLastError();
    // Winsock's codes are not errno values; the one for missing rights is mapped so that
    // the message names the cause.
    throw RightsError(RightsError::Step::kOpenSocket, error == WSAEACCES ? EACCES : error,
                      "opening the raw ICMP socket");
  }
  return static_cast<int>(fd);
}

// Winsock has no unprivileged ICMP socket; the manifest asks for the raw socket's rights.
int OpenDatagramIcmpSocket(IpFamily /*family*/) {
  throw RightsError(RightsError::Step::kOpenSocket, EAFNOSUPPORT,
                    "ICMP datagram sockets are not available on Windows");
}

// Winsock has no such limit to raise.
bool RaiseDescriptorLimit() {
  return false;
}

SocketKind GetSocketKind(int /*socket*/) {
  return SocketKind::kRaw;
}

void EnlargeReceiveBuffer(int socket, int bytes) {
  // Winsock has no system-wide cap to get past; asking is all there is to do.
  ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

// Winsock stamps received datagrams only for UDP, and only from Windows 10 on: replies
// are timed when the worker reads them.
void EnableReceiveTimestamps(int /*socket*/) {}

// Winsock tells no count of datagrams dropped for want of room.
void EnableDropCounts(int /*socket*/) {}

std::optional<std::uint32_t> ReadDropCount(int /*socket*/) {
  return std::nullopt;
}

// Winsock has no socket filter: every datagram arrives and is sorted out on receipt.
bool AcceptOnlyEchoReplies(int /*socket*/, std::uint16_t /*first_identifier*/,
                           std::uint32_t /*count*/) {
  return false;
}

std::error_code SendDatagram(int socket, const void* data, std::size_t length, const void* address,
                             std::size_t address_length) {
  // The socket was made non-blocking when the engine took it over.
  const int sent = ::sendto(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                            static_cast<int>(length), 0, static_cast<const sockaddr*>(address),
                            static_cast<int>(address_length));
  return sent == SOCKET_ERROR ? std::error_code(::WSAGetLastError(), std::system_category())
                              : std::error_code();
}

void CloseSocket(int socket) {
  ::closesocket(static_cast<SOCKET>(socket));
}

int ReceiveDatagrams(int socket, unsigned char* slots, std::size_t slot_size,
                     ReceivedDatagram* datagrams, int count, std::error_code& error) {
  count = count < kMaxReceiveBatch ? count : kMaxReceiveBatch;
  int received = 0;
  for (; received < count; ++received) {
    char* slot = reinterpret_cast<char*>(slots + static_cast<std::size_t>(received) * slot_size);
    const int length = ::recv(static_cast<SOCKET>(socket), slot, static_cast<int>(slot_size), 0);
    if (length == SOCKET_ERROR) {
      const int code = ::WSAGetLastError();
      // A datagram longer than its slot arrives cut short, which is all the decoder needs.
      if (code == WSAEMSGSIZE) {
        datagrams[received] = {slot_size, std::nullopt};
        continue;
      }
      if (code == WSAEWOULDBLOCK || received > 0) {
        break;
      }
      error.assign(code, std::system_category());
      return -1;
    }
    datagrams[received] = {static_cast<std::size_t>(length), std::nullopt};
  }
  return received;
}

}  // namespace platform
