#ifndef LUMORET_PLATFORM_RIGHTS_ERROR_H
#define LUMORET_PLATFORM_RIGHTS_ERROR_H

#include <string>
#include <system_error>

namespace platform {

// A step of taking or giving up the rights the raw socket needs that failed, with the
// system's error code.
class RightsError : public std::system_error {
 public:
  enum class Step {
    kOpenSocket,   // no ICMP socket could be opened, raw or datagram
    kSudoIds,      // SUDO_UID or SUDO_GID is not a plain user or group id
    kSwitchUser,   // becoming the user who ran sudo failed
    kDropRight,    // the capability could not be given up
    kStartHelper,  // the ICMP helper could not be run, or did not answer
  };
  RightsError(Step step, int error, const std::string& what)
      : std::system_error(error, std::generic_category(), what), step(step) {}
  Step step;  // which step failed
};

}  // namespace platform

#endif  // LUMORET_PLATFORM_RIGHTS_ERROR_H
