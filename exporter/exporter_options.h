#ifndef LUMORET_EXPORTER_EXPORTER_OPTIONS_H
#define LUMORET_EXPORTER_EXPORTER_OPTIONS_H

#include <chrono>
#include <string>
#include <vector>

#include "engine/delay_histogram.h"
#include "exporter/metrics_server.h"

// The exporter's command line.
struct ExporterOptions {
  // The host list, in config.ini's format.
  std::string config = "/etc/lumoret/config.ini";
  MetricsServer::Options server;                     // where and how /metrics is served
  DelayHistogram::Bounds buckets = kDefaultBuckets;  // reply-delay histogram bounds, seconds
  // How often every name is looked up again, in minutes; 0: never (failed ones still are).
  int resolve_minutes = static_cast<int>(
      std::chrono::duration_cast<std::chrono::minutes>(DelayTimeMgr::kDefaultResolveInterval)
          .count());
  bool help = false;     // --help: print the usage and stop
  bool version = false;  // --version: print the version and stop

  // Reads the arguments after the program's name; throws std::invalid_argument with a
  // message for the user.
  static ExporterOptions Parse(const std::vector<std::string>& arguments);
  // The --help text.
  static std::string Usage();
};

#endif  // LUMORET_EXPORTER_EXPORTER_OPTIONS_H
