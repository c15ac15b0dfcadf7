#ifndef LUMORET_PLATFORM_ICMP_HELPER_LAUNCH_H
#define LUMORET_PLATFORM_ICMP_HELPER_LAUNCH_H

#include <string>
#include <system_error>

// The ICMP helper, lumoret-icmp. A process started with more rights than its user (a
// file capability, or sudo) runs code the user chooses all the same: GTK loads modules
// named in the user's settings and environment, and code in the process can pass any
// descriptor on. So the program's own process holds a raw socket only in a plain root
// start; otherwise the helper, which loads no such library, opens the raw sockets,
// gives up every right and relays: well-formed echo requests out, echo replies in. Each
// family's relay descriptor is an ICMP socket like another to SendDatagram,
// ReceiveDatagrams, GetSocketKind (raw) and AcceptOnlyEchoReplies; close it with
// CloseSocket (one closed otherwise counts as a relay until its number comes back for a
// socket the platform layer opens).
namespace platform {

// The descriptors the helper finds its relays at: ICMP over IPv4's, then ICMPv6's.
constexpr int kHelperRelayFd[2] = {3, 4};
// Where the helper is, by the program's own path (never the environment): in the
// installed tree's libexec folder, or else in the build tree. Empty on Windows.
std::string IcmpHelperPath();
// The relays StartIcmpHelper brought up.
struct IcmpRelays {
  int v4 = -1;               // ICMP over IPv4; -1 when the helper has no raw socket for it
  int v6 = -1;               // ICMPv6; -1 likewise, and always when v4 is -1
  bool answered = false;     // the helper ran and said whether its sockets opened
  std::error_code v4_error;  // why v4 is -1: the helper's, or why it did not answer
};
// Starts the helper at path and waits for its word on each family, two seconds at most.
// A helper that has no socket to relay is ended again.
IcmpRelays StartIcmpHelper(const std::string& path);

}  // namespace platform

#endif  // LUMORET_PLATFORM_ICMP_HELPER_LAUNCH_H
