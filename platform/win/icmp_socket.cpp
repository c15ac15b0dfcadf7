#include "platform/icmp_socket.h"

// winsock2.h before windows.h, which would otherwise pull in the old winsock.h; both
// before the headers that build on them.
#include <winsock2.h>
// (kept apart so include sorting cannot reorder them)
#include <windows.h>
#include <ws2tcpip.h>

#include <process.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/win/echo_channel.h"

namespace platform {

unsigned long GetPid() {
  return static_cast<unsigned long>(::_getpid());
}

namespace {

void StartWinsock() {
  WSADATA data;
  const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
  if (started != 0) {
    throw RightsError(RightsError::Step::kOpenSocket, started, "starting Windows Sockets");
  }
}

// Winsock's codes are not errno values: the ones for missing rights and for a protocol
// the system lacks (Wine 8 has no raw ICMPv6) are mapped so that the message names the
// cause.
int RawOpenErrno(int error) {
  switch (error) {
    case WSAEACCES:
      return EACCES;
    case WSAEPROTONOSUPPORT:
    case WSAESOCKTNOSUPPORT:
    case WSAEAFNOSUPPORT:
      return ENOSYS;
    default:
      return error;
  }
}

// An ICMPv6 raw socket receives only once it is bound; the sender is then told by
// recvfrom, as there is no IP header.
void BindToAny(SOCKET fd) {
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
}

// The IPv6 form (IPv4-mapped for IPv4) of the address in from.
AddressBytes ToAddressBytes(const sockaddr_storage& from) {
  AddressBytes bytes{};
  if (from.ss_family == AF_INET6) {
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6&>(from).sin6_addr, 16);
  } else if (from.ss_family == AF_INET) {
    bytes[10] = bytes[11] = 0xff;
    std::memcpy(&bytes[12], &reinterpret_cast<const sockaddr_in&>(from).sin_addr, 4);
  }
  return bytes;
}

}  // namespace

int OpenRawIcmpSocket(IpFamily family) {
  StartWinsock();
  const bool v6 = family == IpFamily::kV6;
  const SOCKET fd =
      v6 ? ::socket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6) : ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (fd == INVALID_SOCKET) {
    const int error = ::WSAGetLastError();
    throw RightsError(
        RightsError::Step::kOpenSocket, RawOpenErrno(error),
        std::string(v6 ? "opening the raw ICMPv6 socket" : "opening the raw ICMP socket") +
            " (Winsock error " + std::to_string(error) + ")");
  }
  if (v6) {
    BindToAny(fd);
  }
  return static_cast<int>(fd);
}

// Winsock has no unprivileged ICMP socket: Windows' ICMP echo service stands in for one.
int OpenDatagramIcmpSocket(IpFamily family) {
  return EchoChannel::Open(family);
}

// Winsock has no such limit to raise.
bool RaiseDescriptorLimit() {
  return false;
}

SocketKind GetSocketKind(int socket) {
  return EchoChannel::Owns(socket) ? SocketKind::kDatagram : SocketKind::kRaw;
}

// An echo channel is no socket: nothing can wait for its replies but an alertable wait.
bool CanWatch(int socket) {
  return !EchoChannel::Owns(socket);
}

void EnlargeReceiveBuffer(int socket, int bytes) {
  if (EchoChannel::Owns(socket)) {
    return;  // the system keeps each reply in the request's own buffer
  }
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
  if (EchoChannel::Owns(socket)) {
    return EchoChannel::Send(socket, data, length, address, address_length);
  }
  // The socket was made non-blocking when the engine took it over.
  const int sent = ::sendto(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                            static_cast<int>(length), 0, static_cast<const sockaddr*>(address),
                            static_cast<int>(address_length));
  return sent == SOCKET_ERROR ? std::error_code(::WSAGetLastError(), std::system_category())
                              : std::error_code();
}

void CloseSocket(int socket) {
  if (EchoChannel::Owns(socket)) {
    EchoChannel::Close(socket);
    return;
  }
  ::closesocket(static_cast<SOCKET>(socket));
}

int ReceiveDatagrams(int socket, unsigned char* slots, std::size_t slot_size,
                     ReceivedDatagram* datagrams, int count, std::error_code& error) {
  if (EchoChannel::Owns(socket)) {
    return EchoChannel::Receive(socket, slots, slot_size, datagrams, count, error);
  }
  count = count < kMaxReceiveBatch ? count : kMaxReceiveBatch;
  int received = 0;
  for (; received < count; ++received) {
    char* slot = reinterpret_cast<char*>(slots + static_cast<std::size_t>(received) * slot_size);
    sockaddr_storage from{};
    int from_length = sizeof from;
    const int length = ::recvfrom(static_cast<SOCKET>(socket), slot, static_cast<int>(slot_size), 0,
                                  reinterpret_cast<sockaddr*>(&from), &from_length);
    if (length == SOCKET_ERROR) {
      const int code = ::WSAGetLastError();
      // A datagram longer than its slot arrives cut short, which is all the decoder needs.
      if (code == WSAEMSGSIZE) {
        datagrams[received] = {slot_size, std::nullopt, ToAddressBytes(from)};
        continue;
      }
      if (code == WSAEWOULDBLOCK || received > 0) {
        break;
      }
      error.assign(code, std::system_category());
      return -1;
    }
    datagrams[received] = {static_cast<std::size_t>(length), std::nullopt, ToAddressBytes(from)};
  }
  return received;
}

}  // namespace platform
