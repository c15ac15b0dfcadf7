#include "platform/icmp_helper_launch.h"

#include <cerrno>

// Windows needs no helper: the program opens its raw socket itself.
namespace platform {

std::string IcmpHelperPath() {
  return std::string();
}

IcmpRelays StartIcmpHelper(const std::string& /*path*/) {
  IcmpRelays relays;
  relays.v4_error.assign(ENOSYS, std::generic_category());
  return relays;
}

}  // namespace platform
