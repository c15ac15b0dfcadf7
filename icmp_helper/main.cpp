// lumoret-icmp: Lumoret's ICMP helper. The only part of Lumoret that may hold the right
// to raw sockets (a file capability, or root through sudo): it opens the raw ICMP and
// ICMPv6 sockets, gives up every right, and relays for the program that started it, over
// the socket pairs it finds at descriptors 3 (ICMP over IPv4) and 4 (ICMPv6). It loads no
// library beyond the C and C++ runtimes, reads nothing but those relays, and ends when
// the program closes them or ends.
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include "icmp_helper/icmp_relay.h"
#include "platform/icmp_helper_launch.h"
#include "platform/icmp_socket.h"
#include "platform/privileges.h"

namespace {

// A descriptor the program handed over as a relay: one end of a SOCK_SEQPACKET pair.
bool IsRelay(int descriptor) {
  int domain = 0;
  int type = 0;
  socklen_t size = sizeof domain;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) {
    return false;
  }
  size = sizeof type;
  return ::getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && domain == AF_UNIX &&
         type == SOCK_SEQPACKET;
}

// Nothing the helper does from here on can gain a right, and it goes when its parent
// does (set after the last change of ids, which would clear it).
void LockDown() {
  (void)::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
}

// Relays until the program has closed every relay.
void Relay(std::vector<std::unique_ptr<IcmpRelay>>& relays) {
  while (!relays.empty()) {
    std::vector<pollfd> waits;
    for (const auto& relay : relays) {
      // Requests are always served; datagrams wait in the raw socket while the program
      // has not taken the last batch.
      const bool waiting = relay->HasWaiting();
      waits.push_back({relay->relay(), static_cast<short>(POLLIN | (waiting ? POLLOUT : 0)), 0});
      waits.push_back({waiting ? -1 : relay->raw(), POLLIN, 0});  // ignored when -1
    }
    if (::poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) {
      return;
    }
    for (std::size_t i = 0; i < relays.size(); ++i) {
      const short program = waits[2 * i].revents;
      bool open = !(program & POLLOUT) || relays[i]->FlushDatagrams();
      open = open && (!(program & (POLLIN | POLLHUP | POLLERR)) || relays[i]->ServeRequests());
      open = open && (waits[2 * i + 1].revents == 0 || relays[i]->PassDatagrams());
      if (!open) {
        relays[i].reset();
      }
    }
    relays.erase(std::remove(relays.begin(), relays.end(), nullptr), relays.end());
  }
}

}  // namespace

int main(int argc, char** /*argv*/) {
  std::vector<std::unique_ptr<IcmpRelay>> relays;
  const platform::IpFamily families[] = {platform::IpFamily::kV4, platform::IpFamily::kV6};
  for (int f = 0; f < 2; ++f) {
    if (argc == 1 && IsRelay(platform::kHelperRelayFd[f])) {
      relays.push_back(std::make_unique<IcmpRelay>(platform::kHelperRelayFd[f], families[f]));
    }
  }
  if (relays.empty()) {
    std::fputs(
        "lumoret-icmp: Lumoret's ICMP helper; lumoret starts it, with its relays at "
        "descriptors 3 and 4\n",
        stderr);
    return 2;
  }
  for (const auto& relay : relays) {
    relay->OpenRawSocket();
  }
  try {
    platform::DropPrivileges(platform::Rights::kAll);
  } catch (const platform::RightsError& e) {
    std::fprintf(stderr, "lumoret-icmp: %s\n", e.what());
    return 1;
  }
  LockDown();
  for (const auto& relay : relays) {
    relay->SendReady();
  }
  Relay(relays);
  return 0;
}
