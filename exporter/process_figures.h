#ifndef LUMORET_EXPORTER_PROCESS_FIGURES_H
#define LUMORET_EXPORTER_PROCESS_FIGURES_H

#include <optional>

// The process's own figures as the Prometheus client libraries report them, read from
// /proc/self at scrape time. A figure the system does not give is left out, not guessed.
struct ProcessFigures {
  std::optional<double> cpu_seconds;         // user and system time used so far
  std::optional<double> resident_bytes;      // memory in RAM
  std::optional<double> virtual_bytes;       // address space mapped
  std::optional<double> start_time_seconds;  // when the process started, Unix time
  std::optional<double> open_fds;            // descriptors open
  std::optional<double> max_fds;             // the soft limit on descriptors

  // Reads them now.
  static ProcessFigures Read();
};

#endif  // LUMORET_EXPORTER_PROCESS_FIGURES_H
