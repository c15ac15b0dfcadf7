#include <wx/app.h>
#include <wx/utils.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "engine/delay_time_mgr.h"
#include "platform/platform.h"
#include "ui/lumoret_app.h"

namespace {

// The ICMP sockets the engine starts with, or why there are none.
struct IcmpSockets {
  int v4 = -1;                 // ICMP over IPv4: raw, a relay to the helper's raw one, or datagram
  int v6 = -1;                 // ICMPv6, where it needs the right: raw or relayed; -1 otherwise
  std::exception_ptr failure;  // why v4 is -1
};

// A plain root start opens its sockets itself: raw where it may, else datagram. IPv6
// targets are known only once config.ini is read, without the right: a raw ICMPv6 socket
// is opened now, and closed by the engine when no target needs it. A datagram one needs
// no right, so the engine opens it when some target does.
IcmpSockets OpenInProcess() {
  IcmpSockets sockets;
  try {
    sockets.v4 = DelayTimeMgr::OpenIcmpSocket();
  } catch (const platform::RightsError&) {
    sockets.failure = std::current_exception();
    return sockets;
  }
  if (platform::GetSocketKind(sockets.v4) == platform::SocketKind::kRaw) {
    try {
      sockets.v6 = DelayTimeMgr::OpenIcmpSocket(platform::IpFamily::kV6);
    } catch (const platform::RightsError&) {
    }
  }
  return sockets;
}

// Any other start holds no raw socket itself, whatever its rights: the helper's, relayed,
// else datagram sockets, which need no right.
IcmpSockets OpenThroughHelper() {
  const std::string helper = platform::IcmpHelperPath();
  const platform::IcmpRelays relays = platform::StartIcmpHelper(helper);
  IcmpSockets sockets;
  if (relays.v4 >= 0) {
    sockets.v4 = relays.v4;
    sockets.v6 = relays.v6;
    return sockets;
  }
  try {
    sockets.v4 = DelayTimeMgr::OpenIcmpSocket(platform::IpFamily::kV4, /*raw_first=*/false);
  } catch (const platform::RightsError&) {
    // The helper's reason comes first: its remedy is the one a user is most likely after.
    using Step = platform::RightsError::Step;
    sockets.failure = std::make_exception_ptr(
        relays.answered ? platform::RightsError(Step::kOpenSocket, relays.v4_error.value(),
                                                "opening the raw ICMP socket in " + helper)
                        : platform::RightsError(Step::kStartHelper, relays.v4_error.value(),
                                                "running the ICMP helper " + helper));
  }
  return sockets;
}

// --help and --version are answered at once, before anything else; the status then.
std::optional<int> AnswerInformationOptions(int argc, char** argv) {
  if (argc != 2) {
    return std::nullopt;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("Lumoret %s\n", LUMORET_VERSION);
    return 0;
  }
  if (std::strcmp(argv[1], "--help") == 0) {
    std::printf(
        "Usage: lumoret [--help | --version]\n"
        "Watches the ICMP echo delay to every host listed in config.ini (one address or\n"
        "host name a line), in one window refreshed every second. config.ini is read from\n"
        "the working folder, or from ~/.config/lumoret when started from the desktop menu;\n"
        "it is created with two sample hosts when missing. Help: ReadMe.txt, or F1.\n");
    return 0;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> status = AnswerInformationOptions(argc, argv)) {
    return *status;
  }
  // Capabilities belong to the threads that exist when they change, and setenv is not
  // safe beside other threads: the sockets are opened (or the helper started) and every
  // right given up while this is the only thread, before the toolkit starts threads of
  // its own.
  IcmpSockets sockets = platform::RawSocketsInProcess() ? OpenInProcess() : OpenThroughHelper();
  try {
    platform::DropPrivileges();
  } catch (const platform::RightsError&) {
    sockets.failure = std::current_exception();  // going on with rights is not an option
  }
  // config.ini and ReadMe.txt are looked up in the working folder, so it is settled
  // next, as the user Lumoret now runs as.
  platform::EnterWorkingFolder();
  // GTK would otherwise look for the accessibility bus and complain on stderr where
  // there is none.
  if (!wxGetEnv("NO_AT_BRIDGE", nullptr)) {
    wxSetEnv("NO_AT_BRIDGE", "1");
  }
  // Nothing here draws with OpenGL, yet GDK probes GLX at start-up, which maps a whole
  // Mesa driver into the process (about 50 MiB of it with llvmpipe).
  if (!wxGetEnv("GDK_GL", nullptr)) {
    wxSetEnv("GDK_GL", "disable");
  }
  platform::CatchQuitSignals();

  wxApp::SetInstance(new CLumoretApp(sockets.v4, sockets.v6, sockets.failure));
  // OnInit runs the whole program and returns false, so wxEntry's result is always
  // "failed"; the application keeps the real status.
  wxEntry(argc, argv);
  return CLumoretApp::exit_status;
}
