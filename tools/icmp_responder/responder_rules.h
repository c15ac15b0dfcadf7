#ifndef LUMORET_TOOLS_ICMP_RESPONDER_RESPONDER_RULES_H
#define LUMORET_TOOLS_ICMP_RESPONDER_RESPONDER_RULES_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "tools/icmp_responder/packet.h"

// What the responder does with the echo requests to one address. Read from a rules file,
// one rule a line, "#" starts a comment:
//
//   ADDRESS[/PREFIX] [delay=MS] [jitter=MS] [loss=PERCENT] [kind=KIND] [dup_after=MS]
//
// ADDRESS is IPv4 or IPv6, PREFIX at most 32 or 128 bits; a rule holds addresses of its own
// family only. The first line whose range holds the probed address applies; an address no
// line names is
// answered at once with a plain echo reply. Replies leave after delay +- jitter (uniform);
// a delay of 5000 ms or more makes them late replies. KIND is one of
//   reply         a plain echo reply (the default)
//   dup           the reply, a copy right behind it and one more dup_after ms later (300)
//   wrong-id      a reply whose identifier is one higher than the request's
//   wrong-seq     a reply carrying the sequence number before the request's
//   wrong-src     a reply from the next address up instead of the probed one
//   bad-checksum  a reply whose ICMP checksum is off by one
//   options       a reply whose IPv4 header has 40 bytes of options (IHL 15)
//   data          a reply with 56 data bytes behind the ICMP header
//   cut           a datagram holding only 7 bytes of the ICMP header
//   unreachable   destination unreachable (host) quoting the request, instead of a reply
//   bad-version   a reply whose IPv4 version nibble is 6
// The last three have no IPv6 form: the kernel writes the ICMPv6 checksum of every message
// a raw ICMPv6 socket sends, and hands a raw ICMPv6 socket no IP header to inspect. An IPv6
// rule naming one is refused.
class ResponderRules {
 public:
  enum class Kind {
    kReply,
    kDuplicate,
    kWrongIdentifier,
    kWrongSequence,
    kWrongSource,
    kBadChecksum,
    kOptions,
    kData,
    kCut,
    kUnreachable,
    kBadVersion,
  };

  struct Rule {
    packet::Address network{};  // IPv4 ones mapped, so IPv4 prefixes are 96 bits longer
    int prefix = 0;             // leading bits of network that an address must share
    double delay_ms = 0;
    double jitter_ms = 0;
    double loss_percent = 0;
    double dup_after_ms = 300;
    Kind kind = Kind::kReply;
  };

  // Reads the rules; a line it cannot read fails with std::runtime_error naming the line.
  void Read(std::istream& in);
  // The rule for an address; the default rule when no line names it.
  const Rule& For(const packet::Address& address) const;

  static const char* KindName(Kind kind);

 private:
  std::vector<Rule> rules_;
  Rule default_rule_;
};

#endif  // LUMORET_TOOLS_ICMP_RESPONDER_RESPONDER_RULES_H
