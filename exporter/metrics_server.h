#ifndef LUMORET_EXPORTER_METRICS_SERVER_H
#define LUMORET_EXPORTER_METRICS_SERVER_H

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "exporter/metrics_collector.h"

class CivetServer;

// Why the server could not start (an address it cannot read, a port in use), worded for
// the user.
class MetricsServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The HTTP endpoint Prometheus scrapes: /metrics (the Prometheus text format, or
// OpenMetrics when the scraper asks for it; gzip when it accepts that), /-/healthy, and
// /-/reload (POST or PUT) for reading the host list again. Requests are served on a few
// threads of its own, so a scrape never blocks the engine; connections are bounded and an
// idle one is dropped.
class MetricsServer {
 public:
  // The port Lumoret's exporters listen on unless told otherwise.
  static constexpr int kDefaultPort = 10067;
  // How it serves.
  struct Options {
    // [host]:port, e.g. ":10067" (every address), "127.0.0.1:10067" or "[::1]:10067";
    // port 0 takes any free one (see port()).
    std::string listen_address = ":" + std::to_string(kDefaultPort);
    int max_connections = 8;                        // requests served at once
    std::chrono::milliseconds idle_timeout{10000};  // a connection silent this long is closed
  };
  // Reads the host list again on the owner's thread: empty when done, else why not
  // (answered with a 500). Called on a server thread, which it may block for a bound.
  using Reload = std::function<std::string()>;

  // Starts serving what collector reads; reload null: /-/reload answers 404. Throws
  // MetricsServerError saying why it cannot listen.
  MetricsServer(const Options& options, const MetricsCollector& collector, Reload reload);
  // Stops listening and waits for requests under way.
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;
  // The port it listens on (the one the system chose for port 0).
  int port() const;

  // civetweb's listening_ports value for a listen address; throws MetricsServerError
  // saying what is wrong with a malformed one.
  static std::string ListeningPorts(const std::string& listen_address);

 private:
  class Handler;
  // Where a connection reaches the listening socket: the host of listen_address, or
  // loopback for every address.
  static std::string WakeAddress(const std::string& listen_address);

  const MetricsCollector& collector_;    // what /metrics reads
  Reload reload_;                        // what /-/reload runs; null: none
  std::unique_ptr<Handler> handler_;     // answers every path; outlives server_
  std::unique_ptr<CivetServer> server_;  // the listening server and its threads
  std::string wake_address_;             // where the destructor connects to stop it
};

#endif  // LUMORET_EXPORTER_METRICS_SERVER_H
