#include "platform/win/echo_channel.h"

// winsock2.h before windows.h, which would otherwise pull in the old winsock.h; both
// before the headers that build on them.
#include <winsock2.h>
// (kept apart so include sorting cannot reorder them)
#include <windows.h>
#include <ws2tcpip.h>
// The IP Helper's types (IPAddr, IP_OPTION_INFORMATION), then its echo functions.
#include <iphlpapi.h>
// (kept apart so include sorting cannot reorder them)
#include <icmpapi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/rights_error.h"

using platform::EchoRequestTable;
using platform::IpFamily;

namespace {

// Descriptors of echo channels. Winsock sockets are kernel handles, multiples of 4, so
// no socket can ever have one of these (3 modulo 4, from 2^30 on).
constexpr int kFirstDescriptor = 0x40000003;
// From one channel's descriptor to the next one's.
constexpr int kDescriptorStep = 4;
// How long the system waits for a reply: beyond the engine's 5-second wait, so that a
// reply coming after that wait is still delivered, and counted late.
constexpr DWORD kEchoTimeoutMs = 8000;
// The most payload a request may carry; the engine's carry none.
constexpr std::size_t kMaxPayload = 64;
// Bytes the system may write for one request: the reply structure, the echoed payload,
// an ICMP error's 8 bytes and the IO_STATUS_BLOCK the asynchronous form adds, with room
// to spare.
constexpr std::size_t kReplyBytes = 256;

#pragma pack(push, 1)
// The sender of an ICMPv6 echo reply as Windows lays it out (IPV6_ADDRESS_EX, packed).
struct Ipv6AddressEx {
  USHORT port;        // unused for ICMP
  ULONG flowinfo;     // unused for ICMP
  USHORT address[8];  // the address, in network order
  ULONG scope_id;     // its zone
};
#pragma pack(pop)
// Icmp6SendEcho2's reply (ICMPV6_ECHO_REPLY, which MinGW's headers lack); the echoed
// data follows it.
struct Icmpv6EchoReply {
  Ipv6AddressEx address;       // who answered
  ULONG status;                // IP_SUCCESS or why not
  unsigned int round_trip_ms;  // whole milliseconds
};

// Every channel, open or closed with requests still held by the system.
struct Registry {
  std::mutex mutex;                                   // guards everything below
  std::map<int, std::unique_ptr<EchoChannel>> open;   // by descriptor
  std::vector<std::unique_ptr<EchoChannel>> closing;  // closed, requests outstanding
  int next = kFirstDescriptor;                        // the next channel's descriptor
};

// Never destroyed: a completion may still come while the process ends.
Registry& Channels() {
  static Registry* registry = new Registry;
  return *registry;
}

std::int64_t WallNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The errno value a failure to open the service stands for, so the message names it.
int OpenErrno(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return ENOSYS;  // Wine 8's Icmp6CreateFile, for one
    default:
      return EIO;
  }
}

}  // namespace

struct EchoChannel::Pending {
  EchoChannel* owner = nullptr;                 // the channel it belongs to
  EchoRequestTable::Ticket ticket = 0;          // its request's record in the owner's table
  std::size_t payload_length = 0;               // bytes of payload sent, and echoed
  unsigned char payload[kMaxPayload];           // the payload, kept while the system holds it
  alignas(8) unsigned char reply[kReplyBytes];  // written by the system
};

bool EchoChannel::Owns(int descriptor) {
  return descriptor >= kFirstDescriptor && (descriptor & 3) == (kFirstDescriptor & 3);
}

EchoChannel::EchoChannel(IpFamily family, void* handle)
    : family_(family), handle_(handle), table_(family, EchoRequestTable::kMaxCapacity) {}

EchoChannel::~EchoChannel() {
  if (handle_ != nullptr) {
    ::IcmpCloseHandle(handle_);
  }
}

int EchoChannel::Open(IpFamily family) {
  const HANDLE handle = family == IpFamily::kV6 ? ::Icmp6CreateFile() : ::IcmpCreateFile();
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    throw platform::RightsError(
        platform::RightsError::Step::kOpenSocket, OpenErrno(error),
        std::string(family == IpFamily::kV6 ? "opening Windows' ICMPv6 echo service"
                                            : "opening Windows' ICMP echo service") +
            " (error " + std::to_string(error) + ")");
  }
  Registry& channels = Channels();
  std::lock_guard<std::mutex> lock(channels.mutex);
  const int descriptor = channels.next;
  channels.next += kDescriptorStep;
  channels.open[descriptor] = std::make_unique<EchoChannel>(family, handle);
  return descriptor;
}

std::error_code EchoChannel::Send(int descriptor, const void* data, std::size_t length,
                                  const void* address, std::size_t address_length) {
  Registry& channels = Channels();
  std::lock_guard<std::mutex> lock(channels.mutex);
  const auto found = channels.open.find(descriptor);
  if (found == channels.open.end()) {
    return std::make_error_code(std::errc::bad_file_descriptor);
  }
  return found->second->SendLocked(data, length, address, address_length);
}

std::error_code EchoChannel::SendLocked(const void* data, std::size_t length, const void* address,
                                        std::size_t address_length) {
  const auto request = EchoRequestTable::ParseRequest(family_, data, length);
  if (!request) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  if (request->payload_length > kMaxPayload) {
    return std::make_error_code(std::errc::message_size);
  }
  platform::AddressBytes target{};
  const auto* to = static_cast<const sockaddr*>(address);
  if (family_ == IpFamily::kV6 && address_length >= sizeof(sockaddr_in6) &&
      to->sa_family == AF_INET6) {
    std::memcpy(target.data(), &static_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
  } else if (family_ == IpFamily::kV4 && address_length >= sizeof(sockaddr_in) &&
             to->sa_family == AF_INET) {
    target[10] = target[11] = 0xff;  // the IPv4-mapped form
    std::memcpy(&target[12], &static_cast<const sockaddr_in*>(address)->sin_addr, 4);
  } else {
    return std::make_error_code(std::errc::address_family_not_supported);
  }
  const auto ticket = table_.Add(*request, target, WallNowNs());
  if (!ticket) {
    return std::make_error_code(std::errc::no_buffer_space);
  }
  const std::size_t slot = *ticket & 0xffff;
  if (pending_.size() <= slot) {
    pending_.resize(slot + 1);
  }
  if (!pending_[slot]) {
    pending_[slot] = std::make_unique<Pending>();
  }
  Pending& pending = *pending_[slot];
  pending.owner = this;
  pending.ticket = *ticket;
  const unsigned long error = StartEcho(pending, *request, address);
  if (error != 0) {
    table_.Cancel(*ticket);
    return std::error_code(static_cast<int>(error), std::system_category());
  }
  return {};
}

unsigned long EchoChannel::StartEcho(Pending& pending, const EchoRequestTable::Request& request,
                                     const void* address) {
  pending.payload_length = request.payload_length;
  std::copy(request.payload, request.payload + request.payload_length, pending.payload);
  const WORD payload_length = static_cast<WORD>(pending.payload_length);
  // MinGW declares the routine as FARPROC; the system calls it as PIO_APC_ROUTINE.
  const auto routine = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&OnCompletion));
  DWORD result = 0;
  if (family_ == IpFamily::kV6) {
    sockaddr_in6 source{};
    source.sin6_family = AF_INET6;  // any of ours
    sockaddr_in6 to = *static_cast<const sockaddr_in6*>(address);
    result = ::Icmp6SendEcho2(handle_, nullptr, routine, &pending, &source, &to, pending.payload,
                              payload_length, nullptr, pending.reply, kReplyBytes, kEchoTimeoutMs);
  } else {
    const IPAddr to = static_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
    result = ::IcmpSendEcho2(handle_, nullptr, routine, &pending, to, pending.payload,
                             payload_length, nullptr, pending.reply, kReplyBytes, kEchoTimeoutMs);
  }
  // Under way: the asynchronous form says ERROR_IO_PENDING, returned or as the last error.
  if (result != 0) {
    return 0;
  }
  const DWORD error = ::GetLastError();
  return error == ERROR_IO_PENDING ? 0 : (error != 0 ? error : ERROR_GEN_FAILURE);
}

void __stdcall EchoChannel::OnCompletion(void* context, void* /*io_status*/,
                                         unsigned long /*reserved*/) {
  auto* pending = static_cast<Pending*>(context);
  Registry& channels = Channels();
  std::lock_guard<std::mutex> lock(channels.mutex);
  pending->owner->Completed(*pending);
}

void EchoChannel::Completed(Pending& pending) {
  EchoRequestTable::Reply reply;
  bool answered = false;
  if (family_ == IpFamily::kV6) {
    Icmpv6EchoReply echo;
    std::memcpy(&echo, pending.reply, sizeof echo);
    answered = ::Icmp6ParseReplies(pending.reply, kReplyBytes) > 0 && echo.status == IP_SUCCESS;
    std::memcpy(reply.source.data(), echo.address.address, 16);
    reply.round_trip_ms = echo.round_trip_ms;
    // The echoed payload follows the reply, as long as the one sent.
    reply.data = pending.reply + sizeof echo;
    reply.data_length = pending.payload_length;
  } else {
    // Address, status and round trip lie alike in the 32- and 64-bit layouts.
    const auto* echo = reinterpret_cast<const ICMP_ECHO_REPLY*>(pending.reply);
    answered = ::IcmpParseReplies(pending.reply, kReplyBytes) > 0 && echo->Status == IP_SUCCESS;
    reply.source[10] = reply.source[11] = 0xff;  // the IPv4-mapped form
    std::memcpy(&reply.source[12], &echo->Address, 4);
    reply.round_trip_ms = echo->RoundTripTime;
    // The data sent is the data echoed; where the system put it varies with the layout.
    reply.data = pending.payload;
    reply.data_length = pending.payload_length;
  }
  // Timeouts and ICMP errors give nothing to read, as on a datagram socket: the engine's
  // own wait runs out.
  table_.Complete(pending.ticket, answered ? &reply : nullptr);
}

int EchoChannel::Receive(int descriptor, unsigned char* slots, std::size_t slot_size,
                         platform::ReceivedDatagram* datagrams, int count, std::error_code& error) {
  // The worker's own waits are not alertable: the completions queued on it run here.
  ::SleepEx(0, TRUE);
  Registry& channels = Channels();
  std::lock_guard<std::mutex> lock(channels.mutex);
  // Closed channels whose every request the system has completed can go now.
  auto& closing = channels.closing;
  closing.erase(std::remove_if(closing.begin(), closing.end(),
                               [](const auto& channel) { return channel->table_.pending() == 0; }),
                closing.end());
  const auto found = channels.open.find(descriptor);
  if (found == channels.open.end()) {
    error = std::make_error_code(std::errc::bad_file_descriptor);
    return -1;
  }
  return found->second->table_.Take(slots, slot_size, datagrams,
                                    std::min(count, platform::kMaxReceiveBatch), WallNowNs());
}

void EchoChannel::Close(int descriptor) {
  Registry& channels = Channels();
  std::lock_guard<std::mutex> lock(channels.mutex);
  const auto found = channels.open.find(descriptor);
  if (found == channels.open.end()) {
    return;
  }
  std::unique_ptr<EchoChannel> channel = std::move(found->second);
  channels.open.erase(found);
  // The system cancels what the handle still holds; the completions still come, on the
  // thread that sent, and may write into the buffers until then.
  ::IcmpCloseHandle(channel->handle_);
  channel->handle_ = nullptr;
  if (channel->table_.pending() > 0) {
    channels.closing.push_back(std::move(channel));
  }
}
