#include "engine/channel_table.h"

#include "engine/delay_target.h"
#include "engine/icmp_socket_opener.h"

ChannelTable::ChannelTable(boost::asio::io_service& io_service, ReceivePath& receive_path)
    : io_service_(io_service), receive_path_(receive_path) {}

std::size_t ChannelTable::Add(int descriptor, platform::IpFamily family) {
  try {
    channels_.push_back(std::make_unique<SocketChannel>(io_service_, descriptor, family));
  } catch (...) {
    platform::CloseSocket(descriptor);
    throw;
  }
  return receive_path_.AddSocket(family, channels_.back()->kind);
}

ChannelTable::Plan ChannelTable::NewPlan() const {
  Plan plan;
  for (std::size_t channel = 0; channel < channels_.size(); ++channel) {
    plan.by_listing[channels_[channel]->family == platform::IpFamily::kV6 ? 1 : 0].push_back(
        channel);
  }
  return plan;
}

SocketChannel* ChannelTable::ChannelFor(std::size_t index,
                                        const boost::asio::ip::icmp::endpoint& destination,
                                        Plan& plan) {
  const bool v6 = destination.address().is_v6();
  const platform::IpFamily family = v6 ? platform::IpFamily::kV6 : platform::IpFamily::kV4;
  std::vector<std::size_t>& sockets = plan.by_listing[v6 ? 1 : 0];
  if (sockets.empty()) {  // the first IPv6 target, and no socket for it handed over
    if (!icmpv6_error_.empty()) {
      return nullptr;
    }
    try {
      sockets.push_back(Add(IcmpSocketOpener::Open(family, /*raw_first=*/true), family));
    } catch (const platform::RightsError& e) {
      icmpv6_error_ = e.what();
      return nullptr;
    }
  }
  SocketChannel& first = *channels_[sockets.front()];
  if (v6) {
    kind_v6_ = first.kind;
  }
  if (first.kind == platform::SocketKind::kRaw) {
    return &first;
  }
  const platform::AddressBytes address = AddressBytesOf(destination.address());
  const std::size_t listing = plan.listings[address]++;
  if (listing == sockets.size()) {
    sockets.push_back(Add(IcmpSocketOpener::OpenExtraDatagram(family), family));
  }
  receive_path_.AddSender(sockets[listing], address, index);
  return channels_[sockets[listing]].get();
}

void ChannelTable::DropUnusedV6() {
  if (channels_.size() > 1 && channels_[1]->family == platform::IpFamily::kV6 &&
      channels_[1]->target_count == 0) {
    channels_.erase(channels_.begin() + 1);
    receive_path_.RemoveSocket(1);
  }
}

void ChannelTable::AcceptOnlyEchoReplies(std::uint32_t target_count) {
  for (const auto& channel : channels_) {
    if (channel->kind == platform::SocketKind::kRaw) {
      // A raw socket sees every program's ICMP: only replies to our identifiers get through.
      platform::AcceptOnlyEchoReplies(channel->descriptor,
                                      IdentifierForIndex(platform::GetPid(), 0), target_count);
    }
  }
}
