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
  const std::size_t channel = receive_path_.AddSocket(family, channels_.back()->kind);
  ByListing(family == platform::IpFamily::kV6).push_back(channel);
  return channel;
}

SocketChannel* ChannelTable::ChannelFor(std::size_t slot,
                                        const boost::asio::ip::icmp::endpoint& destination,
                                        std::uint16_t* continue_from) {
  *continue_from = 0;
  const bool v6 = destination.address().is_v6();
  const platform::IpFamily family = v6 ? platform::IpFamily::kV6 : platform::IpFamily::kV4;
  std::vector<std::size_t>& sockets = ByListing(v6);
  if (sockets.empty()) {  // the first IPv6 target, and no socket for it handed over
    if (!icmpv6_error_.empty()) {
      return nullptr;
    }
    try {
      Add(IcmpSocketOpener::Open(family, /*raw_first=*/true), family);
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
    ++first.target_count;
    return &first;
  }
  const platform::AddressBytes address = AddressBytesOf(destination.address());
  std::vector<Listing>& listings = listings_[address];
  std::size_t listing = 0;
  while (listing < listings.size() && listings[listing].slot != kFree) {
    ++listing;
  }
  if (listing == sockets.size()) {
    Add(IcmpSocketOpener::OpenExtraDatagram(family), family);
  }
  if (listing == listings.size()) {
    listings.emplace_back();
  }
  listings[listing].slot = slot;
  *continue_from = listings[listing].last_sequence;
  receive_path_.AddSender(sockets[listing], address, slot);
  SocketChannel& channel = *channels_[sockets[listing]];
  ++channel.target_count;
  return &channel;
}

void ChannelTable::Release(std::size_t slot, const boost::asio::ip::icmp::endpoint& destination,
                           std::uint16_t last_sequence) {
  const bool v6 = destination.address().is_v6();
  const std::vector<std::size_t>& sockets = ByListing(v6);
  if (sockets.empty()) {
    return;
  }
  SocketChannel& first = *channels_[sockets.front()];
  if (first.kind == platform::SocketKind::kRaw) {
    --first.target_count;
    return;
  }
  const platform::AddressBytes address = AddressBytesOf(destination.address());
  std::vector<Listing>& listings = listings_[address];
  for (std::size_t listing = 0; listing < listings.size(); ++listing) {
    if (listings[listing].slot == slot) {
      listings[listing] = Listing{kFree, last_sequence};
      receive_path_.RemoveSender(sockets[listing], address);
      --channels_[sockets[listing]]->target_count;
      return;
    }
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
