#ifndef LUMORET_ENGINE_ICMP_SOCKET_OPENER_H
#define LUMORET_ENGINE_ICMP_SOCKET_OPENER_H

#include "platform/platform.h"

// Opens the engine's ICMP sockets: raw where the process has the right, else datagram,
// each with a receive buffer large enough for a burst of replies.
class IcmpSocketOpener {
 public:
  // An ICMP socket of family, raw where the process has the right (and raw_first asks
  // for it) and else datagram, its receive buffer enlarged while the process may still go
  // past the system's cap: call before giving up rights. Throws the raw socket's
  // platform::RightsError when neither kind can be opened (the datagram socket's without
  // raw_first).
  static int Open(platform::IpFamily family, bool raw_first);
  // An ICMP datagram socket with room for bursts. Throws platform::RightsError.
  static int OpenDatagram(platform::IpFamily family);
  // A datagram socket for one more listing of an address. Throws std::system_error, most
  // likely for want of descriptors.
  static int OpenExtraDatagram(platform::IpFamily family);
  // The IPv4 socket of an engine that tools and tests build on its own. Throws
  // boost::system::system_error, which they test for, when neither kind can be opened.
  static int OpenOwn();
};

#endif  // LUMORET_ENGINE_ICMP_SOCKET_OPENER_H
