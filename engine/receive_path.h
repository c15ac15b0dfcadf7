#ifndef LUMORET_ENGINE_RECEIVE_PATH_H
#define LUMORET_ENGINE_RECEIVE_PATH_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <streambuf>
#include <unordered_map>
#include <vector>

#include "engine/address_hash.h"
#include "engine/clock_pair.h"
#include "engine/delay_target.h"
#include "engine/icmp_header.h"
#include "engine/ipv4_header.h"
#include "platform/platform.h"

// Decodes each received datagram and hands an echo reply to the target it answers. Owns
// no socket: it knows the engine's sockets by number, their family and kind, and for
// datagram sockets which sender names which target, so it can be fed bytes alone.
class ReceivePath {
 public:
  // Over targets by identifier offset (null where none is in use), changed only between
  // datagrams. Counts datagrams that are none of the targets' in foreign_count, those that
  // cannot be decoded in malformed_count.
  ReceivePath(const std::vector<std::shared_ptr<DelayTarget>>& targets,
              std::atomic<std::uint32_t>& foreign_count,
              std::atomic<std::uint32_t>& malformed_count);
  ReceivePath(const ReceivePath&) = delete;
  ReceivePath& operator=(const ReceivePath&) = delete;

  // Adds a socket of family and kind; returns its number (the channel of HandleDatagram).
  std::size_t AddSocket(platform::IpFamily family, platform::SocketKind kind);
  // Forgets socket number channel; the numbers of those after it go down by one.
  void RemoveSocket(std::size_t channel);
  // On datagram socket number channel, replies from address answer the target at index.
  void AddSender(std::size_t channel, const platform::AddressBytes& address, std::size_t index);
  // On datagram socket number channel, replies from address answer no target any more.
  void RemoveSender(std::size_t channel, const platform::AddressBytes& address);

  // One datagram as socket number channel delivered it, from source (a raw IPv4 socket's
  // datagram has its IPv4 header first; the others bring the ICMP message alone): decodes
  // it and hands an echo reply to its target. stamp_ns is the kernel's arrival stamp on
  // the wall clock, if there is one; clocks were read after the datagram was.
  void HandleDatagram(std::size_t channel, const unsigned char* data, std::size_t length,
                      const platform::AddressBytes& source,
                      const std::optional<std::int64_t>& stamp_ns, const ClockPair& clocks);

 private:
  // Reads a datagram's bytes through the header decoders' stream interface without
  // copying them or building a stream per datagram.
  class ByteSource : public std::streambuf {
   public:
    void Reset(const unsigned char* data, std::size_t length);
  };

  // What the receive path knows of one socket.
  struct Socket {
    platform::IpFamily family;  // ICMP over IPv4, or ICMPv6
    platform::SocketKind kind;  // raw or datagram
    // Datagram sockets: index of the target for each address sent to.
    std::unordered_map<platform::AddressBytes, std::size_t, AddressHash> senders;
  };

  // The target an echo reply just decoded answers, or nullptr when it is none of ours.
  DelayTarget* ReplyTarget(const Socket& from, const platform::AddressBytes& source);

  const std::vector<std::shared_ptr<DelayTarget>>& targets_;  // the engine's, by offset
  std::atomic<std::uint32_t>& foreign_count_;    // echo replies and other ICMP not ours
  std::atomic<std::uint32_t>& malformed_count_;  // too short, or (raw) not IPv4
  std::vector<Socket> sockets_;                  // by socket number
  ByteSource reply_bytes_;                       // the datagram being decoded
  std::istream reply_stream_{&reply_bytes_};     // decodes reply_bytes_
  Ipv4Header reply_ipv4_header_;                 // of the datagram decoded last
  IcmpHeader reply_icmp_header_;                 // of the datagram decoded last
};

#endif  // LUMORET_ENGINE_RECEIVE_PATH_H
