// The kernel filter that keeps from a raw ICMP socket everything but our echo replies.
#include <linux/filter.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>

#include "platform/icmp_socket.h"
#include "platform/posix/relay_socket.h"

namespace platform {
namespace {

// Has the helper filter its raw socket behind relay.
bool AskHelperToFilter(int relay, std::uint16_t first_identifier, std::uint32_t count) {
  RelayMessage filter;
  filter.kind = RelayMessage::Kind::kFilter;
  filter.first_identifier = first_identifier;
  filter.identifier_count = count;
  return !SendToHelper(relay, filter);
}

}  // namespace

bool AcceptOnlyEchoReplies(int socket, std::uint16_t first_identifier, std::uint32_t count) {
  if (RelayFamily(socket)) {
    return AskHelperToFilter(socket, first_identifier, count);
  }
  int domain = AF_INET;
  socklen_t size = sizeof domain;
  ::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &size);
  const bool v6 = domain == AF_INET6;
  // Classic BPF, on registers A and X: keep echo replies whose (identifier - first)
  // mod 65536 < count, drop the rest. A load past the end of a short datagram drops it.
  sock_filter program[] = {
      // X = where the ICMP message starts: an ICMPv6 socket sees no IP header; for IPv4,
      // 4 * the header length field (the low nibble of byte 0).
      v6 ? sock_filter BPF_STMT(BPF_LDX | BPF_IMM, 0)
         : sock_filter BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
      // A = the ICMP type (the message's byte 0).
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),
      // An echo reply goes on to the next instruction; anything else skips 5, to the drop.
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, v6 ? ICMP6_ECHO_REPLY : ICMP_ECHOREPLY + 0u, 0, 5),
      // A = the identifier (the message's bytes 4 and 5, network order).
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),
      // A = identifier - first_identifier ...
      BPF_STMT(BPF_ALU | BPF_SUB | BPF_K, first_identifier),
      // ... modulo 65536, so that a range across 65535 wraps round to 0.
      BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xFFFF),
      // Outside the range skips 1, to the drop; inside goes on to the keep.
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, count, 1, 0),
      // Keep: the whole datagram (a length of at least its own).
      BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF),
      // Drop: keep 0 bytes of it.
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return ::setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

}  // namespace platform
