#ifndef LUMORET_ENGINE_DELAY_TARGET_H
#define LUMORET_ENGINE_DELAY_TARGET_H

#include <atomic>
#include <boost/asio/ip/icmp.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "engine/delay_histogram.h"
#include "engine/icmp_header.h"
#include "engine/probe_history.h"
#include "engine/probe_schedule.h"

// The ICMP identifier of a target's requests on a raw socket: process id plus the
// target's index, modulo 65536 (a datagram socket puts in its own).
std::uint16_t IdentifierForIndex(unsigned long pid, int identifier_offset);
// The inverse: which index a reply's identifier names (0 to 65535; the caller checks
// it against the number of targets).
std::size_t IndexForIdentifier(std::uint16_t identifier, unsigned long pid);

// Adds one to a counter that only the worker thread writes: a plain load and store, as
// no other writer can come in between, and the reader needs the value whole, not locked.
inline void Increment(std::atomic<std::uint32_t>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// One probed host and its running statistics. Every handler runs on the engine's
// worker thread; the GUI thread only reads the atomic statistics.
class DelayTarget {
 public:
  using Clock = std::chrono::steady_clock;
  // Delay value meaning "none yet"; shown as "-".
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  // Where the engine stands with a target's name.
  enum class Lookup {
    kPending,   // being looked up: not probed yet
    kResolved,  // has an address and is probed
    kFailed,    // did not resolve (or its look-up was given up): not probed
  };
  // The address requests go to, as any thread may read it.
  struct AddressRecord {
    boost::asio::ip::icmp::endpoint address;  // the current one; unset while unresolved
    // When a later look-up moved the target to address, ms since the Unix epoch; 0 when
    // it has had no other.
    std::int64_t changed_ms = 0;
    std::optional<boost::asio::ip::icmp::endpoint> previous;  // the one before, if any
  };

  // A target whose host resolved to destination; without one it stays unresolved (its
  // look-up failed, or is pending when pending says so). Requests go out on icmp_socket
  // (a descriptor the engine owns), their waits and pauses are kept in schedule, and
  // failed sends are counted in send_errors.
  DelayTarget(ProbeSchedule& schedule, int icmp_socket, const std::string& host,
              int identifier_offset,
              const std::optional<boost::asio::ip::icmp::endpoint>& destination,
              std::atomic<std::uint32_t>& send_errors, bool pending = false);
  DelayTarget(const DelayTarget&) = delete;
  DelayTarget& operator=(const DelayTarget&) = delete;

  // Sends the next echo request and sets the 5-second reply wait.
  void StartSend();
  // The outcome of a send: a failure is counted, and shows as the timeout that follows.
  void CountSendResult(const std::error_code& error);
  // The reply wait ran out: one timeout, and the next request at once.
  void HandleTimeout();
  // An echo reply to this target carrying sequence, received at arrival. The awaited one
  // is accounted and starts the pause, unless it arrived after the wait: then it is late,
  // and its request a timeout. A duplicate or late one is only counted. False when this
  // target never sent that sequence number: the reply is someone else's.
  bool HandleReply(std::uint16_t sequence, Clock::time_point arrival);

  // Sequence number of the latest request; 65535 is followed by 0.
  std::uint16_t sequence_number() const { return sequence_number_; }
  // Requests it has sent; not sequence_number() on an identifier a removed target used.
  // Any thread.
  std::uint64_t requests_sent() const { return requests_sent_.load(std::memory_order_relaxed); }
  // When the latest request left.
  Clock::time_point time_sent() const { return time_sent_; }
  // Whether the latest request still waits for its reply or its timeout.
  bool awaiting_reply() const { return request_open_; }

  // Worker thread: requests go to destination on icmp_socket from now on; the first
  // resolution, or a later look-up that found another address (changed_ms, the wall
  // time, then goes into the record). Does not send: StartSend does.
  void MoveTo(const boost::asio::ip::icmp::endpoint& destination, int icmp_socket,
              std::int64_t changed_ms);
  // Worker thread: the look-up failed; a target never probed becomes kFailed, one that
  // has an address keeps probing it.
  void LookupFailed();
  // Worker thread: takes the target out of the schedule for good (it was removed).
  void StopProbing();
  // Worker thread, before the first request: numbers its requests on after sequence, the
  // last one an earlier user of its identifier sent, so that late replies to those are
  // never taken for its own.
  void ContinueSequenceFrom(std::uint16_t sequence) { sequence_number_ = sequence; }
  // The address record; any thread.
  AddressRecord address() const;
  // Owner's thread, before the worker first sees the target: counts its accounted delays
  // in a histogram with bounds from now on.
  void EnableHistogram(std::shared_ptr<const DelayHistogram::Bounds> bounds);
  // Its delays by bound, or null when none is kept (the window alone keeps none). Any thread.
  const DelayHistogram* histogram() const { return histogram_.get(); }

  // Its slot: the identifier on a raw socket is this past the process id, and the
  // receive path finds it by this. Not its position in the list, which may change.
  const std::int32_t identifier_offset;
  const std::string host;  // as written in config.ini
  // Where requests go; the worker thread's own once the engine runs (others read address()).
  boost::asio::ip::icmp::endpoint destination;
  std::atomic<bool> resolved{false};             // whether it has an address to probe
  std::atomic<Lookup> lookup{Lookup::kPending};  // where its name stands

  // Written by the worker thread only, read whole by the GUI thread.
  std::atomic<std::uint64_t> total_delay_ms{0};     // sum of accounted delays
  std::atomic<std::uint32_t> timeout_count{0};      // requests whose wait ran out
  std::atomic<std::uint32_t> reply_count{0};        // accounted replies
  std::atomic<std::uint32_t> max_delay_ms{kNone};   // largest accounted delay
  std::atomic<std::uint32_t> min_delay_ms{kNone};   // smallest accounted delay
  std::atomic<std::uint32_t> last_delay_ms{kNone};  // none again after every timeout
  std::atomic<std::uint32_t> duplicate_count{0};    // further copies of answered requests
  std::atomic<std::uint32_t> late_count{0};         // replies that came after their wait ran out

  // Whether the latest probe was answered, and since when that has held.
  enum class State { kUnknown, kUp, kDown };
  std::atomic<State> state{State::kUnknown};  // kUnknown until the first reply or timeout
  // Steady-clock time (ns since its epoch) of the first reply after a timeout, or of the
  // first request that timed out after a reply: the start of the current state.
  std::atomic<std::int64_t> state_since_ns{0};
  // Steady-clock time (ns since its epoch) of the latest reply that came in time; 0: none.
  std::atomic<std::int64_t> last_reply_ns{0};
  ProbeHistory history;  // the accounted probes of the last 10 minutes

 private:
  // How far back the answered/unanswered record of requests reaches.
  static constexpr int kAnsweredHistory = 64;

  // Enters state at time, unless the target is in it already.
  void EnterState(State entered, Clock::time_point at);

  ProbeSchedule& schedule_;                    // the engine's, shared by all targets
  int icmp_socket_;                            // shared with other targets, never blocks
  mutable std::mutex address_mutex_;           // guards address_
  AddressRecord address_;                      // what address() returns
  std::atomic<std::uint32_t>& send_errors_;    // the engine's count of failed sends
  ProbeSchedule::Entry schedule_entry_{this};  // its reply wait or pause in schedule_
  Clock::time_point time_sent_;                // when the latest request left
  std::uint16_t sequence_number_ = 0;          // of the latest request
  // Tells a foreign sequence number apart; written by the worker, read whole by a scrape.
  std::atomic<std::uint64_t> requests_sent_{0};
  // Bit k: the request sent k requests ago has had its reply. A second copy of an
  // answered request is a duplicate, a first reply to a timed-out one is late.
  std::uint64_t answered_ = 0;
  // Whether the latest request still waits to be accounted, as a reply or a timeout.
  // Keeps a duplicate or late reply from counting one request twice.
  bool request_open_ = false;
  IcmpHeader request_;                         // the latest request, kept until the next
  std::unique_ptr<DelayHistogram> histogram_;  // accounted delays by bound; null: not kept
};

#endif  // LUMORET_ENGINE_DELAY_TARGET_H
