// Any sequence of requests, completions (real, stale or made up, with any data), cancels
// and reads through the echo service's request records: nothing read overruns its slot,
// every stamp lies within its round trip's millisecond, and the table stays bounded.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/echo_request_table.h"

namespace {

constexpr std::size_t kCapacity = 8;
constexpr std::int64_t kNsPerMs = 1000000;

// Reads the input a byte at a time; zeros once it runs out.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t Next() { return size == 0 ? 0 : (--size, *data++); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  platform::EchoRequestTable table(platform::IpFamily::kV4, kCapacity);
  std::vector<platform::EchoRequestTable::Ticket> tickets;
  std::vector<unsigned char> slots(8 * 255);
  platform::ReceivedDatagram datagrams[8];
  const std::uint8_t request[8] = {8, 0, 0, 0, 1, 2, 3, 4};
  std::int64_t clock_ns = 0;
  while (in.size > 0) {
    clock_ns += in.Next() * kNsPerMs;
    switch (in.Next() % 4) {
      case 0:
        if (const auto ticket = table.Add(*platform::EchoRequestTable::ParseRequest(
                                              platform::IpFamily::kV4, request, sizeof request),
                                          {}, clock_ns)) {
          tickets.push_back(*ticket);
        }
        break;
      case 1: {
        const std::uint8_t pick = in.Next();
        // A ticket once issued, or one made up.
        const auto ticket = pick < tickets.size() ? tickets[pick] : pick * 0x10001u;
        const std::vector<unsigned char> echoed(in.Next(), 0x5a);
        platform::EchoRequestTable::Reply reply;
        reply.round_trip_ms = in.Next();
        reply.data = echoed.data();
        reply.data_length = echoed.size();
        table.Complete(ticket, in.Next() % 2 ? &reply : nullptr);
        break;
      }
      case 2:
        if (!tickets.empty()) {
          table.Cancel(tickets[in.Next() % tickets.size()]);
        }
        break;
      default: {
        const std::size_t slot_size = in.Next();
        const int taken = table.Take(slots.data(), slot_size, datagrams, 8, clock_ns);
        for (int i = 0; i < taken; ++i) {
          // Requests are sent at or before now, and answered within 255 ms.
          const std::int64_t stamp = *datagrams[i].wall_stamp_ns;
          if (datagrams[i].length > slot_size || stamp < 0 || stamp > clock_ns + 256 * kNsPerMs) {
            __builtin_trap();
          }
        }
      }
    }
    if (table.pending() > kCapacity) {
      __builtin_trap();
    }
  }
  return 0;
}
