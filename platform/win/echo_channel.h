#ifndef LUMORET_PLATFORM_WIN_ECHO_CHANNEL_H
#define LUMORET_PLATFORM_WIN_ECHO_CHANNEL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/echo_request_table.h"
#include "platform/icmp_socket.h"

// One handle of Windows' ICMP echo service (IcmpCreateFile / Icmp6CreateFile), used by the
// engine as an ICMP datagram socket: it needs no administrator. A request goes out with
// IcmpSendEcho2 / Icmp6SendEcho2 in their asynchronous form; the system runs a completion
// routine (an APC) on the sending thread when that thread waits alertably, which reading
// the channel does. The engine names a channel by a descriptor no Winsock socket can have.
//
// All channels share one lock: the worker sends, reads and runs the completions, and any
// thread may open or close a channel.
class EchoChannel {
 public:
  // Whether descriptor names an echo channel (open or not) rather than a Winsock socket.
  static bool Owns(int descriptor);
  // Opens a channel for family and returns its descriptor. Throws RightsError
  // (kOpenSocket) with the system's error.
  static int Open(platform::IpFamily family);
  // Sends the ICMP echo request in data to address (a sockaddr_in or sockaddr_in6). Fails
  // with no_buffer_space while the channel holds its most requests.
  static std::error_code Send(int descriptor, const void* data, std::size_t length,
                              const void* address, std::size_t address_length);
  // Runs the completions due on this thread, then hands out the replies as
  // platform::ReceiveDatagrams does.
  static int Receive(int descriptor, unsigned char* slots, std::size_t slot_size,
                     platform::ReceivedDatagram* datagrams, int count, std::error_code& error);
  // Closes the channel's handle. Its buffers stay until the system has completed every
  // request it still holds: the system may write into them until then.
  static void Close(int descriptor);

  // What one request needs while the system holds it: found again by its completion.
  struct Pending;

  EchoChannel(platform::IpFamily family, void* handle);
  ~EchoChannel();
  EchoChannel(const EchoChannel&) = delete;
  EchoChannel& operator=(const EchoChannel&) = delete;

 private:
  // Sends one request (the lock held).
  std::error_code SendLocked(const void* data, std::size_t length, const void* address,
                             std::size_t address_length);
  // Starts the system's echo for request to target into pending's buffer; the system's
  // error, 0 once it is under way.
  unsigned long StartEcho(Pending& pending, const platform::EchoRequestTable::Request& request,
                          const void* address);
  // The system completed pending's request (the lock held).
  void Completed(Pending& pending);
  // The completion routine the system calls on the sending thread.
  static void __stdcall OnCompletion(void* context, void* io_status, unsigned long reserved);

  const platform::IpFamily family_;                // ICMP over IPv4, or ICMPv6
  void* handle_;                                   // the echo service's handle; null once closed
  platform::EchoRequestTable table_;               // requests the system holds, and replies to read
  std::vector<std::unique_ptr<Pending>> pending_;  // by table slot, made on first use
};

#endif  // LUMORET_PLATFORM_WIN_ECHO_CHANNEL_H
