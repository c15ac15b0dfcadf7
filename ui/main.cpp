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
#include "ui/translations.h"

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

constexpr char kMetricsOption[] = "--metrics-listen";
// A bad command line's exit status.
constexpr int kUsageStatus = 2;

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
    std::fputs(
        Fill(Tr("用法：lumoret [--metrics-listen [主机]:端口] | --help | --version\n"
                "在一个每秒刷新的窗口中，显示到 config.ini 所列每台主机（每行一个地址或\n"
                "主机名）的 ICMP 回显延迟。config.ini 从工作文件夹读取；从桌面菜单启动时\n"
                "从 ~/.config/lumoret 读取；缺少时会创建，内含两台示例主机。帮助：%s，或按 F1。\n"
                "--metrics-listen 在该地址向 Prometheus 提供数据（:10067 为所有地址，\n"
                "127.0.0.1:10067 只限本机），与 lumoret-exporter 相同。\n"),
             {ReadMeFileName()})
            .c_str(),
        stdout);
    return 0;
  }
  return std::nullopt;
}

// Takes --metrics-listen ADDR (or =ADDR) out of argv, leaving the toolkit's own options;
// its address, empty without one. Exits with a line on stderr when it lacks its address
// or this build has no endpoint.
std::string TakeMetricsListen(int& argc, char** argv) {
  std::string address;
  const std::size_t length = std::strlen(kMetricsOption);
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kMetricsOption, length) != 0 ||
        (argv[i][length] != '\0' && argv[i][length] != '=')) {
      argv[kept++] = argv[i];
      continue;
    }
    if (argv[i][length] == '=') {
      address = argv[i] + length + 1;
    } else {
      address = i + 1 < argc ? argv[++i] : "";
    }
    // "--metrics-listen=" too: an empty address would silently serve nothing.
    if (address.empty()) {
      std::fputs(
          Fill(Tr("lumoret: %s 需要一个地址，例如 127.0.0.1:10067\n"), {kMetricsOption}).c_str(),
          stderr);
      std::exit(kUsageStatus);
    }
  }
  argv[kept] = nullptr;
  argc = kept;
#ifndef LUMORET_METRICS
  if (!address.empty()) {
    std::fputs(Fill(Tr("lumoret: %s：此版本没有指标端点\n"), {kMetricsOption}).c_str(), stderr);
    std::exit(kUsageStatus);
  }
#endif
  return address;
}

}  // namespace

int main(int argc, char** argv) {
  // First, so that every message, --help's too, is in the window's language.
  InstallTranslations();
  if (const std::optional<int> status = AnswerInformationOptions(argc, argv)) {
    return *status;
  }
  const std::string metrics_listen = TakeMetricsListen(argc, argv);
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

  auto* app = new CLumoretApp(sockets.v4, sockets.v6, sockets.failure);
  app->metrics_listen = metrics_listen;
  wxApp::SetInstance(app);
  // OnInit runs the whole program and returns false, so wxEntry's result is always
  // "failed"; the application keeps the real status.
  wxEntry(argc, argv);
  return CLumoretApp::exit_status;
}
