#include "engine/icmp_socket_opener.h"

#include <boost/system/system_error.hpp>
#include <system_error>

int IcmpSocketOpener::Open(platform::IpFamily family, bool raw_first) {
  if (!raw_first) {
    return OpenDatagram(family);
  }
  int socket = -1;
  try {
    socket = platform::OpenRawIcmpSocket(family);
  } catch (const platform::RightsError& raw_error) {
    try {
      return OpenDatagram(family);
    } catch (const platform::RightsError& datagram_error) {
      // The raw error names the right, and the message gives both remedies; unless the
      // system has no raw socket of that family at all (Wine has no raw ICMPv6).
      if (raw_error.code() == std::errc::function_not_supported) {
        throw datagram_error;
      }
      throw raw_error;
    }
  }
  platform::EnlargeReceiveBuffer(socket, platform::kIcmpReceiveBufferBytes);
  return socket;
}

int IcmpSocketOpener::OpenDatagram(platform::IpFamily family) {
  const int socket = platform::OpenDatagramIcmpSocket(family);
  platform::EnlargeReceiveBuffer(socket, platform::kIcmpReceiveBufferBytes);
  return socket;
}

int IcmpSocketOpener::OpenExtraDatagram(platform::IpFamily family) {
  // A host listed many times needs many sockets, so the limit on descriptors (often
  // 1,024) is raised as far as the system lets the process, before the socket is opened
  // rather than after a failure.
  platform::RaiseDescriptorLimit();
  try {
    return OpenDatagram(family);
  } catch (const platform::RightsError& e) {
    // Not a matter of rights (the first one opened): most likely out of descriptors.
    throw std::system_error(e.code(),
                            "opening an ICMP datagram socket for an address listed "
                            "more than once");
  }
}

int IcmpSocketOpener::OpenOwn() {
  try {
    return Open(platform::IpFamily::kV4, /*raw_first=*/true);
  } catch (const platform::RightsError& e) {
    throw boost::system::system_error(e.code().value(), boost::system::generic_category(),
                                      e.what());
  }
}
