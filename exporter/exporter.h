#ifndef LUMORET_EXPORTER_EXPORTER_H
#define LUMORET_EXPORTER_EXPORTER_H

#include "exporter/exporter_options.h"

// The headless program: the engine probing the configured hosts, the server that
// Prometheus scrapes, and reloads of the host list on SIGHUP or /-/reload.
class Exporter {
 public:
  explicit Exporter(const ExporterOptions& options);
  // Runs until SIGTERM or SIGINT; the process's exit status.
  int Run();

 private:
  ExporterOptions options_;  // as given on the command line
};

#endif  // LUMORET_EXPORTER_EXPORTER_H
