#include "platform/posix/relay_socket.h"

#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/posix/message_batch.h"
#include "platform/posix/socket_address.h"

namespace platform {
namespace {

// The relays StartIcmpHelper set up, by family ([0] IPv4, [1] IPv6), -1 where there is
// none. Set before the worker thread starts; cleared when a relay is closed, or when its
// number comes back for a socket opened by the platform layer.
std::atomic<int> relay_descriptors[2] = {{-1}, {-1}};

// How long a request waits for room on a relay the helper has not emptied yet: a burst
// of requests (thousands of targets sending at once) outruns it, and a request that
// found no room would count as a timeout.
constexpr int kRelayRoomWaitMs = 100;

int FamilyIndex(IpFamily family) {
  return family == IpFamily::kV6 ? 1 : 0;
}

// Copies what the helper passed on in message into slot and datagram.
void TakeDatagram(const RelayMessage& message, unsigned char* slot, std::size_t slot_size,
                  ReceivedDatagram& datagram) {
  const std::size_t length = std::min(message.length, slot_size);
  std::memcpy(slot, message.bytes, length);
  datagram.length = length;
  datagram.wall_stamp_ns = message.wall_stamp_ns;
  datagram.source = message.address;
  datagram.socket_drops = message.overflow_count.value_or(0);
}

}  // namespace

std::optional<IpFamily> RelayFamily(int socket) {
  if (socket >= 0 && relay_descriptors[0].load(std::memory_order_relaxed) == socket) {
    return IpFamily::kV4;
  }
  if (socket >= 0 && relay_descriptors[1].load(std::memory_order_relaxed) == socket) {
    return IpFamily::kV6;
  }
  return std::nullopt;
}

void RegisterRelay(IpFamily family, int socket) {
  relay_descriptors[FamilyIndex(family)].store(socket);
}

void UnregisterRelay(int socket) {
  if (const std::optional<IpFamily> relayed = RelayFamily(socket)) {
    relay_descriptors[FamilyIndex(*relayed)].store(-1);
  }
}

void ForgetClosedRelay(int descriptor) {
  for (std::atomic<int>& relay : relay_descriptors) {
    int expected = descriptor;
    relay.compare_exchange_strong(expected, -1);
  }
}

std::error_code SendToHelper(int relay, const RelayMessage& message) {
  unsigned char bytes[RelayMessage::kMaxSize];
  const std::size_t size = message.Encode(bytes);
  for (bool waited = false;; waited = true) {
    if (::send(relay, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
      return std::error_code();
    }
    if (waited || (errno != EAGAIN && errno != EINTR)) {
      return std::error_code(errno, std::generic_category());
    }
    pollfd room{relay, POLLOUT, 0};
    ::poll(&room, 1, kRelayRoomWaitMs);
  }
}

std::error_code SendThroughRelay(int relay, IpFamily family, const void* data, std::size_t length,
                                 const void* address, std::size_t address_length) {
  const auto* icmp = static_cast<const unsigned char*>(data);
  const unsigned char echo_request = family == IpFamily::kV6 ? ICMP6_ECHO_REQUEST : ICMP_ECHO;
  if (length != RelayMessage::kEchoBytes || icmp[0] != echo_request || icmp[1] != 0) {
    return std::error_code(EINVAL, std::generic_category());
  }
  sockaddr_in6 destination{};
  std::memcpy(&destination, address, std::min(address_length, sizeof destination));
  RelayMessage request;
  request.kind = RelayMessage::Kind::kEchoRequest;
  request.address = ToAddressBytes(destination, static_cast<socklen_t>(address_length));
  request.scope_id = destination.sin6_family == AF_INET6 ? destination.sin6_scope_id : 0;
  request.identifier = static_cast<std::uint16_t>((icmp[4] << 8) | icmp[5]);
  request.sequence = static_cast<std::uint16_t>((icmp[6] << 8) | icmp[7]);
  return SendToHelper(relay, request);
}

int ReceiveThroughRelay(int relay, IpFamily family, unsigned char* slots, std::size_t slot_size,
                        ReceivedDatagram* datagrams, int count, std::error_code& error) {
  unsigned char messages[kMaxReceiveBatch][RelayMessage::kMaxSize];
  MessageBatch batch(&messages[0][0], sizeof messages[0], count);
  const int received = batch.Receive(relay, error);
  int kept = 0;
  for (int i = 0; i < received; ++i) {
    const mmsghdr& header = batch.headers[i];
    if (header.msg_len == 0) {  // the helper's end is closed: it is gone
      if (kept == 0) {
        error.assign(ECONNRESET, std::generic_category());
        return -1;
      }
      break;
    }
    const std::optional<RelayMessage> message =
        (header.msg_hdr.msg_flags & MSG_TRUNC) != 0
            ? std::nullopt
            : RelayMessage::Decode(messages[i], header.msg_len, family);
    if (!message || message->kind != RelayMessage::Kind::kDatagram) {
      continue;  // nothing else comes this way once the helper has answered
    }
    TakeDatagram(*message, slots + static_cast<std::size_t>(kept) * slot_size, slot_size,
                 datagrams[kept]);
    ++kept;
  }
  return received < 0 ? -1 : kept;
}

}  // namespace platform
