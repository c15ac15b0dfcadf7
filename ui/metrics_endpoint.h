#ifndef LUMORET_UI_METRICS_ENDPOINT_H
#define LUMORET_UI_METRICS_ENDPOINT_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine/delay_time_mgr.h"
#include "exporter/metrics_collector.h"
#include "exporter/metrics_server.h"

class wxEvtHandler;

// The window's Prometheus endpoint (--metrics-listen): the exporter's /metrics over the
// window's own engine, and /-/reload reading config.ini again on the GUI thread, as the
// file's watcher does.
class MetricsEndpoint {
 public:
  // How long /-/reload waits for the GUI thread (a modal dialog does not stop it, a busy
  // thread may).
  static constexpr std::chrono::seconds kReloadWait{5};
  // What /-/reload runs on the GUI thread: why the list was kept, or empty.
  using Reload = std::function<std::string()>;

  // Serves on listen_address what engine counts, its reply delays in histograms (call
  // before the engine starts); reload runs through gui's queue. Throws MetricsServerError
  // when it cannot listen, leaving the engine as it was.
  MetricsEndpoint(const std::string& listen_address, DelayTimeMgr& engine, wxEvtHandler& gui,
                  Reload reload);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;
  // GUI thread: the engine's list changed.
  void SetTargets(const DelayTimeMgr::TargetList& targets);
  // GUI thread: up and down are judged by rules, as the rows are.
  void SetRules(const HostStateRules& rules) { collector_.SetRules(rules); }
  // The port it listens on.
  int port() const { return server_->port(); }

 private:
  // A server thread: runs reload_ on the GUI thread and waits for it, for a bound.
  std::string ReloadOnGui() const;

  wxEvtHandler& gui_;                      // whose queue runs reloads
  Reload reload_;                          // the re-read of config.ini
  MetricsCollector collector_;             // the engine's figures
  std::unique_ptr<MetricsServer> server_;  // serves them
};

#endif  // LUMORET_UI_METRICS_ENDPOINT_H
