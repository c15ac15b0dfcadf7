#ifndef LUMORET_ENGINE_CHANNEL_TABLE_H
#define LUMORET_ENGINE_CHANNEL_TABLE_H

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/address_hash.h"
#include "engine/receive_path.h"
#include "engine/socket_channel.h"
#include "platform/platform.h"

// The engine's sockets, numbered as the receive path knows them. Of each family in use,
// the raw socket alone, or one datagram socket per listing of an address: the first
// listing of each address goes through the first, the second through the second, ... The
// IPv4 one handed to the engine comes first.
class ChannelTable {
 public:
  // While the targets are made: the sockets of each family in order of listing (a raw
  // socket serves every listing), and how often each address was listed so far.
  struct Plan {
    std::vector<std::size_t> by_listing[2];  // channel numbers; [0] IPv4, [1] IPv6
    // Listings of each address so far: the next one's socket is by_listing[family][that].
    std::unordered_map<platform::AddressBytes, std::size_t, AddressHash> listings;
  };

  // Sockets whose waiters and timers run on io_service, announced to receive_path.
  ChannelTable(boost::asio::io_service& io_service, ReceivePath& receive_path);
  ChannelTable(const ChannelTable&) = delete;
  ChannelTable& operator=(const ChannelTable&) = delete;

  // Adds a channel of family on descriptor, which it takes over (closed if that fails);
  // returns its number.
  std::size_t Add(int descriptor, platform::IpFamily family);
  // A plan that starts from the channels there are.
  Plan NewPlan() const;
  // The channel for the target at index, sending to destination: with datagram sockets,
  // the one for its listing of that address, opened when needed. Null when no socket of
  // that family can be had (icmpv6_error says why).
  SocketChannel* ChannelFor(std::size_t index, const boost::asio::ip::icmp::endpoint& destination,
                            Plan& plan);
  // Closes the ICMPv6 socket handed over, unless some target needs it.
  void DropUnusedV6();
  // Has the system pass, on raw sockets, only echo replies to the identifiers of
  // target_count targets.
  void AcceptOnlyEchoReplies(std::uint32_t target_count);

  std::size_t size() const { return channels_.size(); }
  SocketChannel& operator[](std::size_t channel) { return *channels_[channel]; }
  // Why targets with an IPv6 address go unprobed; empty when they are or there are none.
  const std::string& icmpv6_error() const { return icmpv6_error_; }
  // How requests to IPv6 addresses go out; empty while no target has one.
  std::optional<platform::SocketKind> kind_v6() const { return kind_v6_; }

 private:
  boost::asio::io_service& io_service_;                   // runs the channels' waiters and timers
  ReceivePath& receive_path_;                             // numbers the sockets as this table does
  std::vector<std::unique_ptr<SocketChannel>> channels_;  // by channel number
  std::string icmpv6_error_;                              // see icmpv6_error()
  std::optional<platform::SocketKind> kind_v6_;           // see kind_v6()
};

#endif  // LUMORET_ENGINE_CHANNEL_TABLE_H
