#include <wx/app.h>
#include <wx/utils.h>

#include <exception>

#include "engine/delay_time_mgr.h"
#include "platform/platform.h"
#include "ui/lumoret_app.h"

int main(int argc, char** argv) {
  // Capabilities belong to the threads that exist when they change, and setenv is not
  // safe beside other threads: the socket is opened and every right given up while this
  // is the only thread, before the toolkit starts threads of its own.
  // Raw where the process has the right; else a datagram socket, which needs none.
  int icmp_socket = -1;
  std::exception_ptr failure;
  try {
    icmp_socket = DelayTimeMgr::OpenIcmpSocket();
  } catch (const platform::RightsError&) {
    failure = std::current_exception();
  }
  // IPv6 targets are known only once config.ini is read, without the right: a raw
  // ICMPv6 socket is opened now, and closed by the engine when no target needs it. A
  // datagram one needs no right, so the engine opens it when some target does.
  int icmpv6_socket = -1;
  if (icmp_socket >= 0 && platform::GetSocketKind(icmp_socket) == platform::SocketKind::kRaw) {
    try {
      icmpv6_socket = DelayTimeMgr::OpenIcmpSocket(platform::IpFamily::kV6);
    } catch (const platform::RightsError&) {
    }
  }
  try {
    platform::DropPrivileges();
  } catch (const platform::RightsError&) {
    failure = std::current_exception();  // going on with rights is not an option
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

  wxApp::SetInstance(new CLumoretApp(icmp_socket, icmpv6_socket, failure));
  // OnInit runs the whole program and returns false, so wxEntry's result is always
  // "failed"; the application keeps the real status.
  wxEntry(argc, argv);
  return CLumoretApp::exit_status;
}
