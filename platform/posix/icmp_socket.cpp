#include "platform/icmp_socket.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/posix/message_batch.h"
#include "platform/posix/relay_socket.h"
#include "platform/posix/socket_address.h"

namespace platform {
namespace {

// An ICMP socket of family and type (SOCK_RAW or SOCK_DGRAM); what names the step in the
// RightsError thrown when the system refuses it.
int OpenIcmpSocketOfType(IpFamily family, int type, const char* what) {
  const bool v6 = family == IpFamily::kV6;
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC,
                          v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
  if (fd < 0) {
    throw RightsError(RightsError::Step::kOpenSocket, errno, what);
  }
  ForgetClosedRelay(fd);
  return fd;
}

// The stamp and drop count the kernel sent along with a datagram as control messages.
void ReadControlMessages(msghdr& header, ReceivedDatagram& datagram) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET) {
      continue;
    }
    if (c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      datagram.wall_stamp_ns = stamp.tv_sec * 1000000000LL + stamp.tv_nsec;
    } else if (c->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&datagram.socket_drops, CMSG_DATA(c), sizeof datagram.socket_drops);
    }
  }
}

}  // namespace

unsigned long GetPid() {
  // getpid is a system call of several hundred nanoseconds here, and the receive path
  // asks for every datagram; a process's id does not change.
  static const unsigned long pid = static_cast<unsigned long>(::getpid());
  return pid;
}

int OpenRawIcmpSocket(IpFamily family) {
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  return OpenIcmpSocketOfType(
      family, SOCK_RAW,
      family == IpFamily::kV6 ? "opening the raw ICMPv6 socket" : "opening the raw ICMP socket");
}

int OpenDatagramIcmpSocket(IpFamily family) {
  return OpenIcmpSocketOfType(family, SOCK_DGRAM,
                              family == IpFamily::kV6 ? "opening an ICMPv6 datagram socket"
                                                      : "opening an ICMP datagram socket");
}

bool RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) {
    return false;
  }
  limit.rlim_cur = limit.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

SocketKind GetSocketKind(int socket) {
  if (RelayFamily(socket)) {
    return SocketKind::kRaw;  // the helper's raw socket, at one remove
  }
  int type = 0;
  socklen_t size = sizeof type;
  ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size);
  return type == SOCK_DGRAM ? SocketKind::kDatagram : SocketKind::kRaw;
}

// Every socket here, a relay too, is a descriptor the I/O service can wait on.
bool CanWatch(int /*socket*/) {
  return true;
}

void EnlargeReceiveBuffer(int socket, int bytes) {
  // SO_RCVBUFFORCE needs CAP_NET_ADMIN; without it SO_RCVBUF gets what rmem_max allows.
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

void EnableReceiveTimestamps(int socket) {
  if (RelayFamily(socket)) {
    return;  // the helper stamps what it relays
  }
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

void EnableDropCounts(int socket) {
  if (RelayFamily(socket)) {
    return;  // the helper counts its raw socket's
  }
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
}

std::optional<std::uint32_t> ReadDropCount(int socket) {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof memory;
  if (::getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &size) != 0 ||
      size <= SK_MEMINFO_DROPS * sizeof memory[0]) {
    return std::nullopt;
  }
  return memory[SK_MEMINFO_DROPS];
}

std::error_code SendDatagram(int socket, const void* data, std::size_t length, const void* address,
                             std::size_t address_length) {
  if (const std::optional<IpFamily> relayed = RelayFamily(socket)) {
    return SendThroughRelay(socket, *relayed, data, length, address, address_length);
  }
  const ssize_t sent =
      ::sendto(socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL,
               static_cast<const sockaddr*>(address), static_cast<socklen_t>(address_length));
  return sent < 0 ? std::error_code(errno, std::generic_category()) : std::error_code();
}

void CloseSocket(int socket) {
  UnregisterRelay(socket);
  ::close(socket);
}

int ReceiveDatagrams(int socket, unsigned char* slots, std::size_t slot_size,
                     ReceivedDatagram* datagrams, int count, std::error_code& error) {
  if (const std::optional<IpFamily> relayed = RelayFamily(socket)) {
    return ReceiveThroughRelay(socket, *relayed, slots, slot_size, datagrams, count, error);
  }
  // One recvmmsg serves every queued datagram, and each brings its stamp and the socket's
  // drop count along as control messages: no call per datagram, none per stamp.
  constexpr std::size_t kControlSize =
      CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t));
  MessageBatch batch(slots, slot_size, count);
  sockaddr_in6 sources[kMaxReceiveBatch];  // the larger of the two families' addresses
  alignas(cmsghdr) unsigned char control[kMaxReceiveBatch][kControlSize];
  for (int i = 0; i < batch.count; ++i) {
    msghdr& header = batch.headers[i].msg_hdr;
    header.msg_name = &sources[i];
    header.msg_namelen = sizeof sources[i];
    header.msg_control = control[i];
    header.msg_controllen = kControlSize;
  }
  const int received = batch.Receive(socket, error);
  for (int i = 0; i < received; ++i) {
    msghdr& header = batch.headers[i].msg_hdr;
    datagrams[i].length = batch.headers[i].msg_len;
    datagrams[i].wall_stamp_ns.reset();
    datagrams[i].socket_drops = 0;
    datagrams[i].source = ToAddressBytes(sources[i], header.msg_namelen);
    ReadControlMessages(header, datagrams[i]);
  }
  return received;
}

}  // namespace platform
