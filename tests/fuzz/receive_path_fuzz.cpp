// Any datagram through the engine's receive path, as a raw or a datagram socket would
// deliver it, against a few targets that have requests outstanding. The IPv4 and ICMP
// header decoders read every such datagram first, so this is their harness too (their
// rules are ipv4_header_test's and icmp_header_test's). Needs no rights and no
// socket: the targets send nowhere, and the sockets are known to the receive path by
// number alone, laid out as an engine on this config.ini would have them:
//   127.0.0.1, 127.0.0.2, 127.0.0.1, (unresolved), ::1, ::1
// raw: 0 ICMP, 1 ICMPv6; datagram: 0 and 1 ICMP, 2 and 3 ICMPv6 (one per listing).
//
// Input: one byte of flags (bit 0: the datagram carries a kernel stamp; bit 1: it came
// through a datagram socket; bit 2, raw: through the ICMPv6 socket, from ::1), four bytes
// of the stamp's age in microseconds (signed, big-endian), for a datagram socket one byte
// naming it (bits 0-2) and the sender (bits 3-4: 127.0.0.1, 127.0.0.2, ::1, ::2), then
// the datagram. For a raw socket the harness adds the process id to the ICMP identifier,
// so that inputs name target indices and keep their meaning from run to run.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/address_hash.h"
#include "engine/clock_pair.h"
#include "platform/platform.h"
#include "tests/engine/offline_engine.h"

namespace {

constexpr int kResendEvery = 4096;  // inputs between two rounds of fresh requests
// The targets of both engines, in listing order; empty: unresolved.
constexpr const char* kHosts[] = {"127.0.0.1", "127.0.0.2", "127.0.0.1", "", "::1", "::1"};

OfflineEngine* raw = nullptr;       // on a raw socket of each family
OfflineEngine* datagram = nullptr;  // on datagram sockets, one per listing of an address

void AddTargets(OfflineEngine& engine) {
  for (const char* host : kHosts) {
    engine.AddTarget(host);
  }
}

void SendRound() {
  raw->SendRound();
  datagram->SendRound();
}

// Hands datagram to the engine on a datagram socket as selected by the byte naming it.
void FeedDatagramSocket(unsigned char origin, const std::vector<unsigned char>& bytes,
                        const std::optional<std::int64_t>& stamp, const ClockPair& clocks) {
  static const platform::AddressBytes sources[] = {
      AddressBytesOf(boost::asio::ip::make_address("127.0.0.1")),
      AddressBytesOf(boost::asio::ip::make_address("127.0.0.2")),
      AddressBytesOf(boost::asio::ip::make_address("::1")),
      AddressBytesOf(boost::asio::ip::make_address("::2"))};
  datagram->path.HandleDatagram(origin & 7u, bytes.data(), bytes.size(),
                                sources[(origin >> 3) & 3u], stamp, clocks);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  using platform::IpFamily;
  using platform::SocketKind;
  static OfflineEngine raw_engine;
  raw_engine.path.AddSocket(IpFamily::kV4, SocketKind::kRaw);
  raw_engine.path.AddSocket(IpFamily::kV6, SocketKind::kRaw);
  AddTargets(raw_engine);
  raw = &raw_engine;
  static OfflineEngine datagram_engine;
  for (IpFamily family : {IpFamily::kV4, IpFamily::kV4, IpFamily::kV6, IpFamily::kV6}) {
    datagram_engine.path.AddSocket(family, SocketKind::kDatagram);
  }
  AddTargets(datagram_engine);
  datagram_engine.AddSender(0, 0);  // first listings of each address
  datagram_engine.AddSender(0, 1);
  datagram_engine.AddSender(2, 4);
  datagram_engine.AddSender(1, 2);  // second listings
  datagram_engine.AddSender(3, 5);
  datagram = &datagram_engine;
  SendRound();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static int inputs = 0;
  if (++inputs % kResendEvery == 0) {
    SendRound();
  }
  if (size < 5) {
    return 0;
  }
  const bool stamped = (data[0] & 1) != 0;
  const bool through_datagram_socket = (data[0] & 2) != 0;
  const auto age_us = static_cast<std::int32_t>(static_cast<std::uint32_t>(data[1]) << 24 |
                                                static_cast<std::uint32_t>(data[2]) << 16 |
                                                static_cast<std::uint32_t>(data[3]) << 8 | data[4]);
  const ClockPair clocks = ClockPair::Now();
  std::optional<std::int64_t> stamp;
  if (stamped) {
    stamp = clocks.wall_ns - std::int64_t{age_us} * 1000;
  }
  if (through_datagram_socket) {
    if (size > 5) {
      FeedDatagramSocket(data[5], std::vector<unsigned char>(data + 6, data + size), stamp, clocks);
    }
    return 0;
  }
  const bool v6 = (data[0] & 4) != 0;
  std::vector<unsigned char> bytes(data + 5, data + size);
  // An ICMPv6 socket delivers no IP header.
  const std::size_t icmp = v6 ? 0 : bytes.empty() ? 0 : (bytes[0] & 0xF) * 4u;
  if ((v6 || icmp >= 20) && bytes.size() >= icmp + 6) {
    const unsigned identifier =
        (bytes[icmp + 4] << 8 | bytes[icmp + 5]) + static_cast<unsigned>(platform::GetPid());
    bytes[icmp + 4] = static_cast<unsigned char>(identifier >> 8);
    bytes[icmp + 5] = static_cast<unsigned char>(identifier);
  }
  static const platform::AddressBytes loopback6 =
      AddressBytesOf(boost::asio::ip::make_address("::1"));
  raw->path.HandleDatagram(v6 ? 1 : 0, bytes.data(), bytes.size(),
                           v6 ? loopback6 : platform::AddressBytes{}, stamp, clocks);
  return 0;
}
