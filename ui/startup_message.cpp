#include "ui/startup_message.h"

#include "engine/config_error.h"
#include "platform/platform.h"

namespace {

#ifndef _WIN32
// What a user can do about it: the capability for the helper, datagram sockets for
// everyone, or sudo.
std::string Remedies(const std::string& helper) {
  return "Either grant the capability to Lumoret's ICMP helper once:\n  sudo setcap "
         "cap_net_raw+ep " +
         helper +
         "\nor allow ICMP datagram sockets to every group (most desktop systems do):\n  sudo "
         "sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"\n(Starting Lumoret as root "
         "with sudo works too.)\n";
}
#endif

std::string RightsAdvice(const platform::RightsError& error, const std::string& helper) {
#ifdef _WIN32
  (void)helper;
  if (error.step == platform::RightsError::Step::kOpenSocket) {
    return "Raw ICMP sockets need administrator rights. Start Lumoret with \"Run as "
           "administrator\".\n";
  }
#else
  switch (error.step) {
    case platform::RightsError::Step::kOpenSocket:
      return "Lumoret probes through a raw ICMP socket, which its helper opens with the "
             "CAP_NET_RAW capability, or else through ICMP datagram sockets, which the system "
             "must allow to one of your groups. " +
             Remedies(helper);
    case platform::RightsError::Step::kStartHelper:
      return "The helper comes with Lumoret: build it with the program (cmake --build), or "
             "install the package again. Without it Lumoret needs ICMP datagram sockets. " +
             Remedies(helper);
    default:
      break;
  }
#endif
  return "Lumoret does not run with more rights than it needs. Start it as your own user "
         "after granting the capability with setcap instead.\n";
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
    case ConfigError::Kind::kLineTooLong:
      return "Shorten or remove that line of " + file +
             ": an address or a host name is far shorter.\n";
  }
  return std::string();
}

}  // namespace

std::string StartupMessage(const std::exception_ptr& error, const std::string& folder,
                           const std::string& helper) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::RightsError& e) {
    return "Lumoret cannot start: " + std::string(e.what()) + ".\n" + RightsAdvice(e, helper);
  } catch (const ConfigError& e) {
    return "Lumoret cannot use its target list: " + std::string(e.what()) + ".\n" +
           ConfigAdvice(e, folder);
  } catch (const std::exception& e) {
    return "Lumoret cannot start the delay engine: " + std::string(e.what()) + ".\n";
  }
}
