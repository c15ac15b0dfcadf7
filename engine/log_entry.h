#ifndef LUMORET_ENGINE_LOG_ENTRY_H
#define LUMORET_ENGINE_LOG_ENTRY_H

#include <cstdint>
#include <optional>
#include <string>

#include "engine/host_state.h"

// One change of a host's state as the outage log keeps it and its window shows it.
struct LogEntry {
  std::int64_t id = 0;                    // the log's row number, which stays with the row
  std::int64_t at_ms = 0;                 // when the change began, ms since the Unix epoch
  std::string host;                       // the host's text in config.ini
  HostState from = HostState::kNotYet;    // the state before
  HostState to = HostState::kNotYet;      // the state after
  std::optional<std::int64_t> outage_ms;  // for a change out of down: how long it was down
};

#endif  // LUMORET_ENGINE_LOG_ENTRY_H
