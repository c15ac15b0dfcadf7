#include "icmp_helper/icmp_relay.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using platform::RelayMessage;

// Requests taken in one go.
constexpr int kRequestBatch = platform::kMaxReceiveBatch;

// ICMP's and ICMPv6's echo request types.
constexpr unsigned char kEchoRequest = 8;
constexpr unsigned char kEchoRequestV6 = 128;

// An echo request without data: type, code 0, checksum, identifier, sequence number. The
// checksum (RFC 1071) is ICMP's; for ICMPv6 the kernel puts its own in.
void BuildEchoRequest(platform::IpFamily family, std::uint16_t identifier, std::uint16_t sequence,
                      unsigned char* out) {
  out[0] = family == platform::IpFamily::kV6 ? kEchoRequestV6 : kEchoRequest;
  out[1] = 0;
  out[2] = out[3] = 0;
  out[4] = static_cast<unsigned char>(identifier >> 8);
  out[5] = static_cast<unsigned char>(identifier & 0xFF);
  out[6] = static_cast<unsigned char>(sequence >> 8);
  out[7] = static_cast<unsigned char>(sequence & 0xFF);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < RelayMessage::kEchoBytes; i += 2) {
    sum += static_cast<std::uint32_t>((out[i] << 8) | out[i + 1]);
  }
  while (sum >> 16) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  const auto checksum = static_cast<std::uint16_t>(~sum);
  out[2] = static_cast<unsigned char>(checksum >> 8);
  out[3] = static_cast<unsigned char>(checksum & 0xFF);
}

// Reads and drops whatever the raw socket holds.
void Discard(int raw) {
  unsigned char byte;
  while (::recv(raw, &byte, sizeof byte, MSG_DONTWAIT) >= 0) {
  }
}

}  // namespace

IcmpRelay::IcmpRelay(int relay, platform::IpFamily family) : relay_(relay), family_(family) {}

IcmpRelay::~IcmpRelay() {
  ::close(relay_);
  if (raw_ >= 0) {
    ::close(raw_);
  }
}

void IcmpRelay::OpenRawSocket() {
  try {
    raw_ = platform::OpenRawIcmpSocket(family_);
  } catch (const platform::RightsError& e) {
    open_error_ = e.code().value();
    return;
  }
  platform::EnlargeReceiveBuffer(raw_, platform::kIcmpReceiveBufferBytes);
  platform::EnableReceiveTimestamps(raw_);
  platform::EnableDropCounts(raw_);
  // No identifier is ours yet: nothing gets through. What came before the filter goes.
  if (!platform::AcceptOnlyEchoReplies(raw_, 0, 0)) {
    open_error_ = EOPNOTSUPP;
    ::close(raw_);
    raw_ = -1;
    return;
  }
  Discard(raw_);
}

bool IcmpRelay::SendReady() {
  RelayMessage ready;
  ready.kind = RelayMessage::Kind::kReady;
  ready.error = raw_ >= 0 ? 0 : open_error_;
  unsigned char bytes[RelayMessage::kMaxSize];
  const std::size_t size = ready.Encode(bytes);
  return ::send(relay_, bytes, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

bool IcmpRelay::ServeRequests() {
  unsigned char requests[kRequestBatch][RelayMessage::kMaxSize];
  mmsghdr headers[kRequestBatch];
  iovec vectors[kRequestBatch];
  for (int i = 0; i < kRequestBatch; ++i) {
    vectors[i] = {requests[i], sizeof requests[i]};
    headers[i] = {};
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  const int received = ::recvmmsg(relay_, headers, kRequestBatch, MSG_DONTWAIT, nullptr);
  if (received < 0) {
    return errno == EAGAIN || errno == EINTR;
  }
  for (int i = 0; i < received; ++i) {
    if (headers[i].msg_len == 0) {
      return false;  // the program's end is closed
    }
    const std::optional<RelayMessage> request =
        (headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0
            ? std::nullopt
            : RelayMessage::Decode(requests[i], headers[i].msg_len, family_);
    if (request) {
      Serve(*request);
    } else {
      ++refused_;
    }
  }
  return true;
}

void IcmpRelay::Serve(const RelayMessage& request) {
  switch (request.kind) {
    case RelayMessage::Kind::kEchoRequest:
      SendEchoRequest(request);
      return;
    case RelayMessage::Kind::kFilter:
      SetFilter(request);
      return;
    default:
      ++refused_;  // the helper's own kinds
      return;
  }
}

void IcmpRelay::SendEchoRequest(const RelayMessage& request) {
  if (raw_ < 0) {
    ++refused_;
    return;
  }
  unsigned char echo[RelayMessage::kEchoBytes];
  BuildEchoRequest(family_, request.identifier, request.sequence, echo);
  sockaddr_in6 v6{};
  sockaddr_in v4{};
  const void* destination = &v4;
  std::size_t length = sizeof v4;
  if (family_ == platform::IpFamily::kV6) {
    v6.sin6_family = AF_INET6;
    std::memcpy(&v6.sin6_addr, request.address.data(), request.address.size());
    v6.sin6_scope_id = request.scope_id;
    destination = &v6;
    length = sizeof v6;
  } else {
    v4.sin_family = AF_INET;
    std::memcpy(&v4.sin_addr, request.address.data() + 12, 4);  // after the mapped prefix
  }
  // A request the kernel refuses (no route, a full buffer) times out at the program.
  (void)platform::SendDatagram(raw_, echo, sizeof echo, destination, length);
}

void IcmpRelay::SetFilter(const RelayMessage& request) {
  // The program's list grows while it runs: its range may widen from the same first
  // identifier, never narrow nor move (at 65,536 it can grow no more), so the replies
  // let through stay those of identifiers the program named. The filter is not locked
  // (SO_LOCK_FILTER would forbid re-attaching it): the lock keeps other code holding the socket
  // from changing it, and there is none here, as the helper loads no code and never passes the raw
  // socket on; this check is the guard instead.
  const bool wider = !filtered_ || (request.first_identifier == first_identifier_ &&
                                    request.identifier_count > identifier_count_);
  if (raw_ < 0 || !wider) {
    ++refused_;
    return;
  }
  // A filter the kernel refuses leaves the one before attached.
  if (platform::AcceptOnlyEchoReplies(raw_, request.first_identifier, request.identifier_count)) {
    filtered_ = true;
    first_identifier_ = request.first_identifier;
    identifier_count_ = request.identifier_count;
  }
}

bool IcmpRelay::PassDatagrams() {
  if (HasWaiting()) {
    return FlushDatagrams();
  }
  unsigned char slots[kBatch][RelayMessage::kMaxDatagramBytes];
  platform::ReceivedDatagram received[kBatch];
  std::error_code error;
  const int count = platform::ReceiveDatagrams(raw_, &slots[0][0], RelayMessage::kMaxDatagramBytes,
                                               received, kBatch, error);
  // A failed read is reported once and cleared by the kernel: the next wake-up reads on.
  if (count <= 0) {
    return true;
  }
  for (int i = 0; i < count; ++i) {
    RelayMessage datagram;
    datagram.kind = RelayMessage::Kind::kDatagram;
    datagram.wall_stamp_ns = received[i].wall_stamp_ns;
    // Counting is on, and the kernel says nothing until it has dropped something.
    datagram.overflow_count = received[i].socket_drops;
    datagram.address = received[i].source;
    datagram.bytes = slots[i];
    datagram.length = received[i].length;
    waiting_vectors_[i] = {waiting_[i], datagram.Encode(waiting_[i])};
    waiting_headers_[i] = {};
    waiting_headers_[i].msg_hdr.msg_iov = &waiting_vectors_[i];
    waiting_headers_[i].msg_hdr.msg_iovlen = 1;
  }
  waiting_count_ = count;
  next_waiting_ = 0;
  return FlushDatagrams();
}

bool IcmpRelay::FlushDatagrams() {
  while (HasWaiting()) {
    const int sent = ::sendmmsg(relay_, waiting_headers_ + next_waiting_,
                                static_cast<unsigned>(waiting_count_ - next_waiting_),
                                MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      return errno == EAGAIN || errno == EINTR;  // the program is busy: wait for room
    }
    next_waiting_ += sent;
  }
  return true;
}
