#ifndef LUMORET_EXPORTER_EXPORTER_H
#define LUMORET_EXPORTER_EXPORTER_H

#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/delay_time_mgr.h"
#include "exporter/exporter_options.h"
#include "exporter/metrics_collector.h"

// The headless program: the engine probing the configured hosts, the server that
// Prometheus scrapes, and reloads of the host list on SIGHUP or /-/reload.
class Exporter {
 public:
  explicit Exporter(const ExporterOptions& options);
  // Runs until SIGTERM or SIGINT; the process's exit status. Call while the process has no
  // other thread: the signals it waits for are blocked first, for every thread to come.
  int Run();

 private:
  // A /-/reload waiting for the main thread's outcome.
  using ReloadOutcome = std::shared_ptr<std::promise<std::string>>;
  // The ICMP sockets the engine starts with.
  struct Sockets {
    int v4 = -1;  // raw or datagram
    int v6 = -1;  // raw, when v4 is; else -1 (the engine opens a datagram one on need)
  };

  // Opens the sockets, raw where the process may, and gives up the right to open more.
  static Sockets OpenSockets();
  // Probes hosts and serves them until a quit; the exit status.
  int Serve(DelayTimeMgr& engine, const std::vector<std::string>& hosts);
  // Waits for signals and reload requests until a quit or the engine's failure.
  int Loop(DelayTimeMgr& engine, MetricsCollector& collector);
  // Owner's thread: reads the config again and makes its hosts the engine's; "" when done,
  // else why not (the list stays as it was).
  std::string Reload(DelayTimeMgr& engine, MetricsCollector& collector);
  // Owner's thread: runs every reload handed over, answering each.
  void AnswerRequests(DelayTimeMgr& engine, MetricsCollector& collector);
  // A server thread: hands a reload to the owner's thread and waits for it, bounded.
  std::string RequestReload();
  // Owner's thread: answers the requests still waiting, and every later one at once.
  void RefuseRequests();

  ExporterOptions options_;              // as given on the command line
  std::mutex requests_mutex_;            // guards requests_ and stopping_
  std::vector<ReloadOutcome> requests_;  // reloads handed over, not yet run
  bool stopping_ = false;                // the program is ending: reloads are refused
};

#endif  // LUMORET_EXPORTER_EXPORTER_H
