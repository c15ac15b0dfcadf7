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
// IPv4 one handed to the engine comes first. Targets come and go: a listing given back
// is the next one taken for its address.
class ChannelTable {
 public:
  // Sockets whose waiters and timers run on io_service, announced to receive_path.
  ChannelTable(boost::asio::io_service& io_service, ReceivePath& receive_path);
  ChannelTable(const ChannelTable&) = delete;
  ChannelTable& operator=(const ChannelTable&) = delete;

  // Adds a channel of family on descriptor, which it takes over (closed if that fails);
  // returns its number.
  std::size_t Add(int descriptor, platform::IpFamily family);
  // The channel for the target at slot, sending to destination, counted as one of its
  // targets: with datagram sockets, the one for the lowest listing of that address not in
  // use, opened when needed; *continue_from gets the last sequence number sent there by
  // the target that held that listing before (0 if none). Null when no socket of that
  // family can be had (icmpv6_error says why).
  SocketChannel* ChannelFor(std::size_t slot, const boost::asio::ip::icmp::endpoint& destination,
                            std::uint16_t* continue_from);
  // Gives back what ChannelFor gave the target at slot for destination; last_sequence is
  // the last sequence number it sent, for the next holder of its listing to go on from.
  void Release(std::size_t slot, const boost::asio::ip::icmp::endpoint& destination,
               std::uint16_t last_sequence);
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
  // One listing of an address on a datagram socket.
  struct Listing {
    std::size_t slot = kFree;         // the target holding it; kFree: none
    std::uint16_t last_sequence = 0;  // the last sequence number its previous holder sent
  };
  static constexpr std::size_t kFree = static_cast<std::size_t>(-1);

  // The sockets of family in order of listing (a raw socket serves every listing).
  std::vector<std::size_t>& ByListing(bool v6) { return by_listing_[v6 ? 1 : 0]; }

  boost::asio::io_service& io_service_;                   // runs the channels' waiters and timers
  ReceivePath& receive_path_;                             // numbers the sockets as this table does
  std::vector<std::unique_ptr<SocketChannel>> channels_;  // by channel number
  std::vector<std::size_t> by_listing_[2];                // channel numbers; [0] IPv4, [1] IPv6
  // Datagram sockets: the listings of each address, by listing number.
  std::unordered_map<platform::AddressBytes, std::vector<Listing>, AddressHash> listings_;
  std::string icmpv6_error_;                     // see icmpv6_error()
  std::optional<platform::SocketKind> kind_v6_;  // see kind_v6()
};

#endif  // LUMORET_ENGINE_CHANNEL_TABLE_H
