#ifndef LUMORET_PLATFORM_ECHO_REQUEST_TABLE_H
#define LUMORET_PLATFORM_ECHO_REQUEST_TABLE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "platform/icmp_socket.h"

namespace platform {

// The echo requests of one channel of a system echo service (Windows' IcmpSendEcho2),
// which takes a request's target and payload and later tells its reply's sender, round
// trip and data. Records each request the engine built until its completion, and turns
// each reply into the ICMP echo reply a datagram socket would have read, so that the
// engine cannot tell the two apart. Bounded: a full table refuses a request.
class EchoRequestTable {
 public:
  // Names one record for the service's completion: slot number in the low 16 bits, the
  // slot's use count in the high ones, so that a stale completion cannot hit a new request.
  using Ticket = std::uint32_t;
  // What the engine's ICMP echo request says.
  struct Request {
    std::uint16_t identifier = 0;            // its identifier
    std::uint16_t sequence = 0;              // its sequence number
    const unsigned char* payload = nullptr;  // the bytes behind its header
    std::size_t payload_length = 0;          // how many
  };
  // What the service told of a request that was answered.
  struct Reply {
    AddressBytes source{};                // the reply's sender
    std::uint32_t round_trip_ms = 0;      // its round trip, in whole milliseconds
    const unsigned char* data = nullptr;  // the data it echoed
    std::size_t data_length = 0;          // how many bytes
  };
  // Bytes of echoed data a synthesized reply keeps: the engine decodes the header only.
  static constexpr std::size_t kKeptData = 120;
  // The most records a table can hold: the slot number's 16 bits.
  static constexpr std::size_t kMaxCapacity = 65536;

  // A table for family's echo requests, holding at most capacity (up to kMaxCapacity)
  // requests awaiting a completion or a read.
  EchoRequestTable(IpFamily family, std::size_t capacity);

  // Reads an ICMP echo request of family from data; empty when it is none.
  static std::optional<Request> ParseRequest(IpFamily family, const void* data, std::size_t length);
  // Records request, sent to target at sent_ns (wall clock); empty when the table is full.
  std::optional<Ticket> Add(const Request& request, const AddressBytes& target,
                            std::int64_t sent_ns);
  // Forgets a request the service refused at once: no completion will come.
  void Cancel(Ticket ticket);
  // The service answered ticket's request with reply (nullptr: it gave up, or got an
  // error message): queues the reply for Take, or frees the record. False, and nothing
  // changes, when ticket names no request awaiting its completion.
  bool Complete(Ticket ticket, const Reply* reply);
  // Hands out queued replies as ReceiveDatagrams does, in completion order, stamped with
  // read_ns (wall clock) clamped into their round trip's millisecond. Returns how many.
  int Take(unsigned char* slots, std::size_t slot_size, ReceivedDatagram* datagrams, int count,
           std::int64_t read_ns);
  // Requests awaiting their completion.
  std::size_t pending() const { return pending_; }

 private:
  // Where one slot is in its life.
  enum class State : std::uint8_t { kFree, kPending, kReady };
  // One request and, once answered, its reply.
  struct Record {
    State state = State::kFree;          // free, awaiting completion, or awaiting Take
    std::uint16_t uses = 0;              // how often the slot was taken: the ticket's high half
    std::uint16_t identifier = 0;        // the request's identifier
    std::uint16_t sequence = 0;          // and sequence number
    AddressBytes target{};               // where it went
    std::int64_t sent_ns = 0;            // when, wall clock
    AddressBytes source{};               // the reply's sender
    std::int64_t earliest_ns = 0;        // the reply's arrival: at least
    std::int64_t latest_ns = 0;          // and at most, from the round trip
    std::vector<unsigned char> message;  // the synthesized ICMP echo reply
  };

  // The record ticket names, if it is in state.
  Record* Find(Ticket ticket, State state);
  // Returns the record to the free list.
  void Free(std::size_t slot);
  // Builds record's ICMP echo reply carrying reply's data.
  void Synthesize(Record& record, const Reply& reply) const;

  const IpFamily family_;            // which ICMP the requests speak
  const std::size_t capacity_;       // the most records
  std::vector<Record> records_;      // grown on demand up to capacity_
  std::vector<std::uint16_t> free_;  // slots free for reuse
  std::deque<std::uint16_t> ready_;  // answered slots, in completion order
  std::size_t pending_ = 0;          // records awaiting their completion
};

}  // namespace platform

#endif  // LUMORET_PLATFORM_ECHO_REQUEST_TABLE_H
