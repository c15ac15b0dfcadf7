#ifndef LUMORET_ICMP_HELPER_ICMP_RELAY_H
#define LUMORET_ICMP_HELPER_ICMP_RELAY_H

#include <sys/socket.h>

#include <cstdint>

#include "platform/icmp_socket.h"
#include "platform/relay_message.h"

// One family's relay in the helper: its raw socket and its end of the program's socket
// pair. It sends the echo requests the program asks for, built here from their
// identifier and sequence number, and passes on what the raw socket lets through: echo
// replies to the identifiers the program named, a range that may only grow at its end.
// Whoever runs the helper may write anything to it: whatever is not such a request is
// refused (dropped).
class IcmpRelay {
 public:
  // relay: the helper's end of the socket pair, owned from now on.
  IcmpRelay(int relay, platform::IpFamily family);
  ~IcmpRelay();
  IcmpRelay(const IcmpRelay&) = delete;
  IcmpRelay& operator=(const IcmpRelay&) = delete;

  // Opens the raw socket, with the rights the helper still holds: its receive buffer
  // enlarged, arrival stamps and overflow counts on, and nothing let through until the
  // program names its identifiers.
  void OpenRawSocket();
  // The program's first word from us: whether the raw socket is open. False when the
  // program's end is gone.
  bool SendReady();
  // Serves what the program sent. False once its end is closed.
  bool ServeRequests();
  // Passes on the datagrams queued on the raw socket, as far as the program takes them
  // without waiting: the rest waits for FlushDatagrams, and the raw socket is not read
  // meanwhile, so that requests are always served. False once the program's end is gone.
  bool PassDatagrams();
  // Passes on what the program did not take before. False once its end is gone.
  bool FlushDatagrams();
  // Datagrams are waiting for the program to take them.
  bool HasWaiting() const { return next_waiting_ < waiting_count_; }

  int relay() const { return relay_; }
  int raw() const { return raw_; }
  // Requests refused so far: malformed, of another kind, or not to a unicast address.
  std::uint32_t refused() const { return refused_; }

 private:
  void Serve(const platform::RelayMessage& request);
  void SendEchoRequest(const platform::RelayMessage& request);
  void SetFilter(const platform::RelayMessage& request);

  static constexpr int kBatch = platform::kMaxReceiveBatch;  // datagrams read in one go

  const int relay_;                     // the helper's end of the program's socket pair
  const platform::IpFamily family_;     // ICMP over IPv4, or ICMPv6
  int raw_ = -1;                        // the raw socket; -1 when it could not be opened
  int open_error_ = 0;                  // why raw_ is -1: the errno of opening it
  bool filtered_ = false;               // the program's filter is attached
  std::uint16_t first_identifier_ = 0;  // the first identifier it lets through
  std::uint32_t identifier_count_ = 0;  // how many, from there
  std::uint32_t refused_ = 0;           // requests refused
  // The last batch of datagrams, as messages for the program; those from next_waiting_ to
  // waiting_count_ are not passed on yet.
  unsigned char waiting_[kBatch][platform::RelayMessage::kMaxSize];
  mmsghdr waiting_headers_[kBatch];
  iovec waiting_vectors_[kBatch];
  int waiting_count_ = 0;
  int next_waiting_ = 0;
};

#endif  // LUMORET_ICMP_HELPER_ICMP_RELAY_H
