#include "exporter/exporter.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <system_error>

#include "engine/config_error.h"
#include "engine/config_file.h"
#include "exporter/metrics_server.h"
#include "platform/platform.h"
#include "platform/signal_wait.h"

namespace {

// How long the main thread waits for a signal before it looks at the engine again.
constexpr std::chrono::milliseconds kEngineCheckInterval{1000};
// How long a /-/reload waits for the main thread: a config file on a slow disk, not more.
constexpr std::chrono::seconds kReloadWait{30};

// One line on stderr, which journald keeps under the service's name.
void Log(const std::string& text) {
  const std::string line = "lumoret-exporter: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// "1 host", "3 hosts".
std::string HostCount(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " host" : " hosts");
}

const char* KindName(platform::SocketKind kind) {
  return kind == platform::SocketKind::kRaw ? "raw" : "datagram";
}

// "3 added, 1 removed, 7 kept" for a change from old_size targets to entries.
std::string ChangeText(std::size_t old_size, const std::vector<DelayTimeMgr::ListEntry>& entries) {
  std::size_t kept = 0;
  for (const DelayTimeMgr::ListEntry& entry : entries) {
    kept += entry.kept != DelayTimeMgr::kAdded ? 1 : 0;
  }
  return std::to_string(entries.size() - kept) + " added, " + std::to_string(old_size - kept) +
         " removed, " + std::to_string(kept) + " kept";
}

}  // namespace

Exporter::Exporter(const ExporterOptions& options) : options_(options) {}

int Exporter::Run() {
  platform::BlockProcessSignals();
  try {
    const ConfigFile config = ConfigFile::Load(options_.config);
    const Sockets sockets = OpenSockets();
    DelayTimeMgr engine(sockets.v4, nullptr, sockets.v6, std::vector<std::string>{});
    return Serve(engine, config.Hosts());
  } catch (const platform::RightsError& e) {
    Log(std::string("cannot open an ICMP socket (") + e.what() +
        "): raw sockets need CAP_NET_RAW, datagram sockets a group within "
        "net.ipv4.ping_group_range");
  } catch (const std::exception& e) {  // ConfigError, MetricsServerError, system errors
    Log(e.what());
  }
  return 1;
}

Exporter::Sockets Exporter::OpenSockets() {
  Sockets sockets;
  // Datagram sockets first: where the system lets every group have them, the right to
  // raw sockets (which the service is given for the systems that do not) goes unused.
  try {
    sockets.v4 = DelayTimeMgr::OpenIcmpSocket(platform::IpFamily::kV4, /*raw_first=*/false);
  } catch (const platform::RightsError&) {
    sockets.v4 = DelayTimeMgr::OpenIcmpSocket(platform::IpFamily::kV4);
  }
  if (platform::GetSocketKind(sockets.v4) == platform::SocketKind::kRaw) {
    try {
      sockets.v6 = DelayTimeMgr::OpenIcmpSocket(platform::IpFamily::kV6);
    } catch (const platform::RightsError&) {
      // No IPv6 here: the engine says so for the hosts that need it.
    }
  }
  try {
    platform::DropPrivileges();
  } catch (...) {
    platform::CloseSocket(sockets.v4);
    if (sockets.v6 >= 0) {
      platform::CloseSocket(sockets.v6);
    }
    throw;
  }
  return sockets;
}

int Exporter::Serve(DelayTimeMgr& engine, const std::vector<std::string>& hosts) {
  // Every host goes in as added, so that names are looked up in the background and the
  // endpoint answers at once.
  engine.EnableReplyHistograms(options_.buckets);
  engine.SetResolveInterval(std::chrono::minutes(options_.resolve_minutes));
  engine.ChangeTargets(DelayTimeMgr::MatchHosts(engine.targets, hosts));
  engine.Start();
  MetricsCollector collector(engine);
  collector.SetTargets(engine.targets);
  int status = 1;
  {
    const MetricsServer server(options_.server, collector, [this] { return RequestReload(); });
    Log("serving " + HostCount(hosts.size()) + " from " + options_.config + " (" +
        KindName(engine.socket_kind) + " ICMP sockets) on " + options_.server.listen_address +
        ", port " + std::to_string(server.port()));
    status = Loop(engine, collector);
    RefuseRequests();
  }  // the server stops before the engine it reads
  engine.Stop();
  return status;
}

int Exporter::Loop(DelayTimeMgr& engine, MetricsCollector& collector) {
  for (;;) {
    switch (platform::WaitForProcessSignal(kEngineCheckInterval)) {
      case platform::ProcessSignal::kQuit:
        Log("stopping");
        return 0;
      case platform::ProcessSignal::kReload:
        Reload(engine, collector);
        break;
      case platform::ProcessSignal::kWake:
      case platform::ProcessSignal::kNone:
        break;
    }
    AnswerRequests(engine, collector);  // a wake-up may have merged with another signal
    const std::string error = engine.LastError();
    if (!error.empty()) {
      Log("the engine stopped: " + error);
      return 1;
    }
  }
}

std::string Exporter::Reload(DelayTimeMgr& engine, MetricsCollector& collector) {
  const std::size_t old_size = engine.targets.size();
  try {
    const std::vector<std::string> hosts = ConfigFile::Load(options_.config).Hosts();
    const std::vector<DelayTimeMgr::ListEntry> entries =
        DelayTimeMgr::MatchHosts(engine.targets, hosts);
    engine.ChangeTargets(entries);
    collector.SetTargets(engine.targets);
    Log("reloaded " + options_.config + ": " + HostCount(hosts.size()) + " (" +
        ChangeText(old_size, entries) + ")");
    return {};
  } catch (const std::exception& e) {  // ConfigError mostly; the list stays as it was
    Log("reload failed, still probing the " + HostCount(old_size) + ": " + e.what());
    return e.what();
  }
}

void Exporter::AnswerRequests(DelayTimeMgr& engine, MetricsCollector& collector) {
  std::vector<ReloadOutcome> requests;
  {
    const std::lock_guard<std::mutex> lock(requests_mutex_);
    requests.swap(requests_);
  }
  if (requests.empty()) {
    return;
  }
  // Requests that came together are answered by one reading of the file.
  const std::string outcome = Reload(engine, collector);
  for (const ReloadOutcome& request : requests) {
    request->set_value(outcome);
  }
}

std::string Exporter::RequestReload() {
  const ReloadOutcome outcome = std::make_shared<std::promise<std::string>>();
  std::future<std::string> answer = outcome->get_future();
  {
    const std::lock_guard<std::mutex> lock(requests_mutex_);
    if (stopping_) {
      return "the exporter is stopping";
    }
    requests_.push_back(outcome);
  }
  platform::WakeSignalWaiter();
  if (answer.wait_for(kReloadWait) != std::future_status::ready) {
    return "the reload did not finish within " + std::to_string(kReloadWait.count()) + " s";
  }
  return answer.get();
}

void Exporter::RefuseRequests() {
  const std::lock_guard<std::mutex> lock(requests_mutex_);
  stopping_ = true;
  for (const ReloadOutcome& request : requests_) {
    request->set_value("the exporter is stopping");
  }
  requests_.clear();
}
