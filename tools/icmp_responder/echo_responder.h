#ifndef LUMORET_TOOLS_ICMP_RESPONDER_ECHO_RESPONDER_H
#define LUMORET_TOOLS_ICMP_RESPONDER_ECHO_RESPONDER_H

#include <sys/socket.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <queue>
#include <random>
#include <unordered_map>
#include <vector>

#include "tools/icmp_responder/packet.h"
#include "tools/icmp_responder/responder_rules.h"

// Answers ICMP and ICMPv6 echo requests for every address of its network namespace on raw
// sockets, by the rules, and keeps the truth of what it received and sent for each prober
// (probed address and identifier), so a test can hold a prober's own counts against it.
class EchoResponder {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    double flood_rate = 0;         // foreign IPv4 echo replies a second, 0 for none
    std::uint32_t flood_to = 0;    // where the flood goes (IPv4)
    std::uint32_t flood_from = 0;  // the address it comes from (IPv4)
    unsigned seed = 1;             // loss and jitter draws
    double max_seconds = 600;      // Run ends by itself after this long
  };

  // Opens the raw sockets; throws std::system_error without the right to. Without IPv6 in
  // the system it serves IPv4 alone.
  EchoResponder(const ResponderRules& rules, const Options& options);
  ~EchoResponder();
  EchoResponder(const EchoResponder&) = delete;
  EchoResponder& operator=(const EchoResponder&) = delete;

  // Serves until stop_requested says so (a signal wakes the loop to ask) or max_seconds
  // have passed. each_turn, if given, runs between two turns of the loop (at least every
  // 50 ms): the place to call SetRules from.
  void Run(bool (*stop_requested)(), const std::function<void()>& each_turn = nullptr);
  // From the next request on, answers by these rules, probers already seen too (the
  // record names the rule in force at its end).
  void SetRules(const ResponderRules& rules);
  // One CSV line per prober, then a "#summary" line.
  void WriteRecord(std::ostream& out) const;

 private:
  // What a datagram that leaves counts as in the record.
  enum class Sent { kReply, kDuplicate, kLate, kFaulty };

  // One prober: an (address, identifier) pair. A target of the program under test is one;
  // another tool probing the same address is another.
  struct ProberKey {
    packet::Address address{};     // the probed address
    std::uint16_t identifier = 0;  // the request's identifier
    bool operator==(const ProberKey& other) const {
      return identifier == other.identifier && address == other.address;
    }
    bool operator<(const ProberKey& other) const {
      return address != other.address ? address < other.address : identifier < other.identifier;
    }
  };
  struct ProberKeyHash {
    std::size_t operator()(const ProberKey& key) const;
  };

  // What one prober sent and was sent.
  struct Prober {
    const ResponderRules::Rule* rule = nullptr;
    std::uint64_t requests = 0;
    std::uint16_t first_sequence = 0;
    bool first_answered = false;  // a reply went out for the first request seen
    std::uint64_t replies = 0;    // replies that answer their request in time
    std::uint64_t lost = 0;       // requests deliberately left unanswered
    std::uint64_t duplicates = 0;
    std::uint64_t late = 0;          // replies that left 5 s or more after their request
    std::uint64_t faulty = 0;        // datagrams built not to match the request
    std::uint64_t bad_requests = 0;  // requests with a wrong checksum or code
    // Whether each request left when the prober's schedule says it should: 1 s after the
    // reply to the previous one, or 5 s after the previous one when that went unanswered.
    std::uint64_t on_schedule = 0;
    std::uint64_t early = 0;
    std::uint64_t behind = 0;  // more than 20 ms after its time
    double max_behind_ms = 0;
    double max_early_ms = 0;  // how far before its time the earliest request came
    std::uint16_t last_sequence = 0;
    Clock::time_point last_request;
    bool last_answered = false;
    Clock::time_point last_reply;
  };

  struct Pending {
    Clock::time_point due;
    std::uint64_t order;  // keeps datagrams due at the same time in order
    ProberKey key;
    std::uint16_t sequence;
    Sent sent;
    packet::Address from;  // the source of an ICMPv6 message; an IPv4 datagram holds its own
    packet::Address to;    // the prober
    std::vector<std::uint8_t> datagram;  // IPv4: the whole datagram; IPv6: the ICMPv6 message
    bool operator>(const Pending& other) const {
      return due != other.due ? due > other.due : order > other.order;
    }
  };

  void Receive();
  void ReceiveFrom(int fd);
  Clock::time_point ArrivalTime(const msghdr& message) const;
  void HandleRequest(const packet::EchoRequest& request, Clock::time_point now);
  void CheckSchedule(Prober& prober, Clock::time_point now);
  void Schedule(Clock::time_point due, const ProberKey& key, std::uint16_t sequence, Sent sent,
                const packet::Address& from, const packet::Address& to,
                std::vector<std::uint8_t> datagram);
  void SendDue(Clock::time_point now);
  void SendFlood(Clock::time_point now);
  void Send(const Pending& pending);
  void Send4(const std::vector<std::uint8_t>& datagram, std::uint32_t to);
  void Send6(const std::vector<std::uint8_t>& message, const packet::Address& from,
             const packet::Address& to);

  ResponderRules rules_;  // in force: a copy, so that SetRules can replace it
  Options options_;
  int receive_socket_ = -1;
  int send_socket_ = -1;
  int socket6_ = -1;  // raw ICMPv6: receives requests and sends replies; -1 without IPv6
  std::mt19937_64 random_;
  std::unordered_map<ProberKey, Prober, ProberKeyHash> probers_;
  // Replies waiting for their time: a heap, so thousands of delayed replies cost
  // O(log n) each and no thread or timer per packet.
  std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> pending_;
  std::uint64_t order_ = 0;
  std::vector<std::uint8_t> buffer_;
  Clock::time_point started_;
  std::uint64_t received_ = 0;
  std::uint64_t not_requests_ = 0;
  std::uint64_t flood_sent_ = 0;
  std::uint64_t send_errors_ = 0;
  std::uint64_t late_sends_ = 0;  // datagrams that left more than 1 ms after their time
  double max_lag_ms_ = 0;
};

#endif  // LUMORET_TOOLS_ICMP_RESPONDER_ECHO_RESPONDER_H
