#ifndef LUMORET_TESTS_ENGINE_OFFLINE_ENGINE_H
#define LUMORET_TESTS_ENGINE_OFFLINE_ENGINE_H

#include <atomic>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/address_hash.h"
#include "engine/clock_pair.h"
#include "engine/delay_target.h"
#include "engine/probe_schedule.h"
#include "engine/receive_path.h"

// Targets and the receive path over them, without any socket, so that tests, fuzzers and
// benchmarks need no rights: requests go nowhere (each send fails and is counted), and
// replies are fed as bytes.
class OfflineEngine {
 public:
  // Adds a target for address (a literal), unresolved when empty; returns its index.
  std::size_t AddTarget(const std::string& address) {
    std::optional<boost::asio::ip::icmp::endpoint> destination;
    if (!address.empty()) {
      destination.emplace(boost::asio::ip::make_address(address), 0);
    }
    targets.push_back(std::make_shared<DelayTarget>(schedule, -1, address.empty() ? "x" : address,
                                                    static_cast<int>(targets.size()), destination,
                                                    send_errors));
    return targets.size() - 1;
  }
  // On datagram socket number channel, replies from the target at index's address are its.
  void AddSender(std::size_t channel, std::size_t index) {
    path.AddSender(channel, AddressBytesOf(targets[index]->destination.address()), index);
  }
  // Sends a request from every resolved target.
  void SendRound() {
    for (const auto& target : targets) {
      if (target->resolved) {
        target->StartSend();
      }
    }
  }
  // Feeds datagram to the receive path as socket channel delivered it from source,
  // stamped by the kernel as it arrived.
  void Deliver(const std::string& datagram, std::size_t channel = 0,
               const char* source = "0.0.0.0") {
    const ClockPair clocks = ClockPair::Now();
    path.HandleDatagram(channel, reinterpret_cast<const unsigned char*>(datagram.data()),
                        datagram.size(), AddressBytesOf(boost::asio::ip::make_address(source)),
                        clocks.wall_ns, clocks);
  }

  ProbeSchedule schedule;                             // the targets' waits and pauses
  std::atomic<std::uint32_t> send_errors{0};          // every send, as there is no socket
  std::atomic<std::uint32_t> foreign{0};              // datagrams none of the targets'
  std::atomic<std::uint32_t> malformed{0};            // datagrams that did not decode
  std::vector<std::shared_ptr<DelayTarget>> targets;  // by index
  ReceivePath path{targets, foreign, malformed};      // over targets
};

#endif  // LUMORET_TESTS_ENGINE_OFFLINE_ENGINE_H
