#include "engine/receive_path.h"

#include <boost/asio/ip/address.hpp>

ReceivePath::ReceivePath(const std::vector<std::shared_ptr<DelayTarget>>& targets,
                         std::atomic<std::uint32_t>& foreign_count,
                         std::atomic<std::uint32_t>& malformed_count)
    : targets_(targets), foreign_count_(foreign_count), malformed_count_(malformed_count) {}

std::size_t ReceivePath::AddSocket(platform::IpFamily family, platform::SocketKind kind) {
  sockets_.push_back(Socket{family, kind, {}});
  return sockets_.size() - 1;
}

void ReceivePath::RemoveSocket(std::size_t channel) {
  sockets_.erase(sockets_.begin() + static_cast<std::ptrdiff_t>(channel));
}

void ReceivePath::AddSender(std::size_t channel, const platform::AddressBytes& address,
                            std::size_t index) {
  sockets_[channel].senders[address] = index;
}

void ReceivePath::RemoveSender(std::size_t channel, const platform::AddressBytes& address) {
  sockets_[channel].senders.erase(address);
}

void ReceivePath::ByteSource::Reset(const unsigned char* data, std::size_t length) {
  // The get area is only read from; std::streambuf just wants it writable in type.
  char* begin = reinterpret_cast<char*>(const_cast<unsigned char*>(data));
  setg(begin, begin, begin + length);
}

void ReceivePath::HandleDatagram(std::size_t channel, const unsigned char* data, std::size_t length,
                                 const platform::AddressBytes& source,
                                 const std::optional<std::int64_t>& stamp_ns,
                                 const ClockPair& clocks) {
  if (channel >= sockets_.size()) {
    Increment(foreign_count_);  // no socket of ours
    return;
  }
  const Socket& from = sockets_[channel];
  const bool v6 = from.family == platform::IpFamily::kV6;
  reply_bytes_.Reset(data, length);
  reply_stream_.clear();
  // Only a raw IPv4 socket hands over the IP header; the others the ICMP message alone.
  if (from.kind == platform::SocketKind::kRaw && !v6) {
    reply_stream_ >> reply_ipv4_header_;
  }
  reply_stream_ >> reply_icmp_header_;
  if (!reply_stream_) {
    Increment(malformed_count_);
    return;
  }
  const std::uint8_t echo_reply = v6 ? IcmpHeader::kEchoReplyV6 : IcmpHeader::kEchoReply;
  DelayTarget* target =
      reply_icmp_header_.type() == echo_reply ? ReplyTarget(from, source) : nullptr;
  if (target == nullptr ||
      !target->HandleReply(reply_icmp_header_.sequence_number(), ArrivalTime(stamp_ns, clocks))) {
    Increment(foreign_count_);
  }
}

DelayTarget* ReceivePath::ReplyTarget(const Socket& from, const platform::AddressBytes& source) {
  if (from.kind == platform::SocketKind::kDatagram) {
    // The system delivers only replies carrying the socket's identifier, so the sender
    // and the socket name the target.
    const auto found = from.senders.find(source);
    return found == from.senders.end() ? nullptr : targets_[found->second].get();  // null if freed
  }
  const std::size_t index = IndexForIdentifier(reply_icmp_header_.identifier(), platform::GetPid());
  if (index >= targets_.size() || targets_[index] == nullptr) {
    return nullptr;  // no target has that identifier now
  }
  // An echo reply comes from the address its request went to (RFC 1122, 3.2.2.6); one
  // from elsewhere answers another program's request that happens to share our identifier.
  const boost::asio::ip::address& sent_to = targets_[index]->destination.address();
  const bool from_destination =
      from.family == platform::IpFamily::kV6
          ? sent_to.is_v6() && sent_to.to_v6().to_bytes() == source
          : sent_to == boost::asio::ip::address(reply_ipv4_header_.source_address());
  return from_destination ? targets_[index].get() : nullptr;
}
