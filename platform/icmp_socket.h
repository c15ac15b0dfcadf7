#ifndef LUMORET_PLATFORM_ICMP_SOCKET_H
#define LUMORET_PLATFORM_ICMP_SOCKET_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <system_error>

#include "platform/rights_error.h"

// ICMP sockets: opening them, their options and kernel filter, sending and receiving.
// A relay to the ICMP helper (see icmp_helper_launch.h) is used like any of them.
namespace platform {

// The process id, as it goes into the ICMP identifier.
unsigned long GetPid();

// The protocol an ICMP socket speaks: ICMP over IPv4, or ICMPv6.
enum class IpFamily { kV4, kV6 };
// Opens a raw ICMP socket of family and returns its descriptor. An ICMPv6 one delivers
// replies without their IP header. The process is made non-dumpable first, for good: a
// debugger or a core file would hand the socket out. Throws RightsError (kOpenSocket)
// with the system's error (on Windows unless run as administrator).
int OpenRawIcmpSocket(IpFamily family = IpFamily::kV4);
// Opens an ICMP datagram socket of family, which needs no right where the system lets the
// process's groups use them (Linux: net.ipv4.ping_group_range, for both families). The
// system chooses the identifier of its requests and delivers only the replies that carry
// it, without their IP header. Throws RightsError (kOpenSocket) with the system's error.
// Windows has no such socket: its ICMP echo service (IcmpSendEcho2, Icmp6SendEcho2), open
// to every user, stands in for one behind the same calls. Its replies come at the reads
// (see CanWatch), stamped from the system's round trip; a request it cannot take (about
// 65,000 outstanding on one channel) is a failed send; it gives up on a reply after 8 s,
// so a reply after the engine's 5 s wait still comes, late; timeouts and ICMP errors
// bring nothing, as on a datagram socket.
int OpenDatagramIcmpSocket(IpFamily family = IpFamily::kV4);
// Raises the process's limit on open descriptors as far as the system allows; false
// when it cannot go higher.
bool RaiseDescriptorLimit();
// How an ICMP socket sends and receives: raw (whole IP datagrams in, our identifiers) or
// datagram (ICMP messages only, the system's identifier).
enum class SocketKind { kRaw, kDatagram };
SocketKind GetSocketKind(int socket);
// Whether the I/O service can wait for socket's datagrams to arrive; false for Windows'
// echo service, whose replies come only when the reading thread asks for them
// (ReceiveDatagrams): such a socket is read at the schedule's wake-ups.
bool CanWatch(int socket);

// The receive buffer asked for an ICMP socket: room for a burst of replies from about
// 10,000 targets.
constexpr int kIcmpReceiveBufferBytes = 16 << 20;
// Asks for a socket receive buffer of the given size, beyond the system's usual cap
// where the process may (replies to thousands of targets arrive in bursts). Best effort.
void EnlargeReceiveBuffer(int socket, int bytes);
// Has the kernel stamp every datagram the socket receives with its arrival time.
void EnableReceiveTimestamps(int socket);
// Has the kernel tell, with every datagram the socket receives, how many it has dropped
// so far for want of room in the receive buffer (Linux: SO_RXQ_OVFL, on raw sockets only;
// nothing on Windows). See ReceivedDatagram::socket_drops.
void EnableDropCounts(int socket);
// How many datagrams the socket has dropped so far for want of room, asked of the system
// (one system call): for sockets whose datagrams do not bring the count. Empty where the
// system cannot tell (Windows).
std::optional<std::uint32_t> ReadDropCount(int socket);
// Whether ReceiveDatagrams brings the kernel's arrival stamps (after
// EnableReceiveTimestamps): a datagram read a while after it came is still timed right.
#ifdef _WIN32
constexpr bool kKernelReceiveStamps = false;
#else
constexpr bool kKernelReceiveStamps = true;
#endif

// Has the kernel keep from a raw ICMP or ICMPv6 socket every datagram but the echo
// replies whose identifier lies in [first_identifier, first_identifier + count) modulo
// 65536, so that other programs' ICMP traffic costs neither a wake-up nor a read. On a
// relay the helper does it, and afterwards takes only a wider range from the same first
// identifier. False where the system cannot filter: everything still arrives then, and
// is sorted out on receipt.
bool AcceptOnlyEchoReplies(int socket, std::uint16_t first_identifier, std::uint32_t count);

// Sends one datagram to address (a socket address of address_length bytes) without
// blocking: a datagram the system cannot take at once is an error. Returns the system's
// error, empty on success.
std::error_code SendDatagram(int socket, const void* data, std::size_t length, const void* address,
                             std::size_t address_length);
// Closes a socket that nothing else owns.
void CloseSocket(int socket);

// An IP address as IPv6 bytes in network order; an IPv4 address takes its IPv4-mapped
// form (::ffff:a.b.c.d), so one type serves both families.
using AddressBytes = std::array<unsigned char, 16>;

// One datagram read by ReceiveDatagrams.
struct ReceivedDatagram {
  std::size_t length = 0;                     // bytes stored in its slot
  std::optional<std::int64_t> wall_stamp_ns;  // kernel's arrival time, wall clock
  AddressBytes source{};                      // its sender; all zero where not told
  // The socket's drops for want of room so far (modulo 2^32), as the kernel told with
  // this datagram; 0 while there were none, or where it does not tell.
  std::uint32_t socket_drops = 0;
};
// The most datagrams one ReceiveDatagrams call reads.
constexpr int kMaxReceiveBatch = 64;
// Reads, without blocking, up to count (at most kMaxReceiveBatch) datagrams queued on the
// socket, datagram i into slots + i * slot_size, cut to slot_size bytes, with its receive
// stamp where the system keeps one and its sender where the system tells it. Returns how
// many were read, 0 when none was queued, or -1 with error set. Datagrams come in the
// order they arrived.
int ReceiveDatagrams(int socket, unsigned char* slots, std::size_t slot_size,
                     ReceivedDatagram* datagrams, int count, std::error_code& error);

}  // namespace platform

#endif  // LUMORET_PLATFORM_ICMP_SOCKET_H
