#include "ui/startup_message.h"

#include "engine/config_error.h"
#include "platform/platform.h"

namespace {

std::string RightsAdvice(const platform::RightsError& error, const std::string& binary) {
  if (error.step != platform::RightsError::Step::kOpenSocket) {
    return "Lumoret does not run with more rights than it needs. Start it as your own user "
           "after granting the capability with setcap instead.\n";
  }
#ifdef _WIN32
  (void)binary;
  return "Raw ICMP sockets need administrator rights. Start Lumoret with \"Run as "
         "administrator\".\n";
#else
  return "Lumoret probes through a raw ICMP socket, which needs the CAP_NET_RAW capability, "
         "or else through ICMP datagram sockets, which the system must allow to one of your "
         "groups. Either grant the capability to the program once:\n  sudo setcap "
         "cap_net_raw+ep " +
         binary +
         "\nor allow ICMP datagram sockets to every group (most desktop systems do):\n  sudo "
         "sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"\n(Starting Lumoret as root "
         "with sudo works too.)\n";
#endif
}

std::string ConfigAdvice(const ConfigError& error, const std::string& folder) {
  const std::string file = "config.ini in " + folder;
  switch (error.kind) {
    case ConfigError::Kind::kNotRegularFile:
      return "The target list " + file +
             " must be a regular file (or a link to one) with one host per line.\n";
    case ConfigError::Kind::kCannotRead:
      return "Check that " + file + " can be read.\n";
    case ConfigError::Kind::kCannotCreate:
      return "The missing " + file +
             " could not be created, and nothing was left in its place. Make room or "
             "write access there, or create the file yourself.\n";
    case ConfigError::Kind::kTooManyTargets:
      return "Remove lines from " + file + ".\n";
  }
  return std::string();
}

}  // namespace

std::string StartupMessage(const std::exception_ptr& error, const std::string& folder,
                           const std::string& binary) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::RightsError& e) {
    return "Lumoret cannot start: " + std::string(e.what()) + ".\n" + RightsAdvice(e, binary);
  } catch (const ConfigError& e) {
    return "Lumoret cannot use its target list: " + std::string(e.what()) + ".\n" +
           ConfigAdvice(e, folder);
  } catch (const std::exception& e) {
    return "Lumoret cannot start the delay engine: " + std::string(e.what()) + ".\n";
  }
}
