#include "ui/host_figures.h"

#include <wx/datetime.h>

#include <algorithm>
#include <chrono>

#include "engine/delay_target.h"

namespace {

using Steady = std::chrono::steady_clock;

// The wall-clock reading of a steady-clock time, formatted in local time. The engine
// keeps steady times so that a clock change cannot bend its figures; one pair of
// readings maps them for display.
std::string WallClock(std::int64_t steady_ns, const char* format) {
  const auto age = Steady::now().time_since_epoch() - std::chrono::nanoseconds(steady_ns);
  const auto wall = std::chrono::system_clock::now() -
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(age);
  return wxDateTime(std::chrono::system_clock::to_time_t(wall)).Format(format).utf8_string();
}

std::string StateOf(const DelayTarget& target) {
  const DelayTarget::State state = target.state.load();
  if (state == DelayTarget::State::kUnknown) {
    return "-";
  }
  const std::int64_t since_ns = target.state_since_ns.load();
  const auto lasted = Steady::now().time_since_epoch() - std::chrono::nanoseconds(since_ns);
  return StateText(state == DelayTarget::State::kUp, WallClock(since_ns, "%H:%M:%S"),
                   std::chrono::duration_cast<std::chrono::seconds>(lasted).count());
}

}  // namespace

std::vector<ProbeHistory::Probe> RecentProbes(const DelayTarget& target,
                                              ProbeHistory::Clock::time_point* now) {
  std::vector<ProbeHistory::Probe> probes = target.history.Snapshot();
  *now = ProbeHistory::Clock::now();
  // A run of timeouts, 5 seconds each, makes the history reach further back.
  const auto start = *now - kRecentSpan;
  probes.erase(probes.begin(), std::find_if(probes.begin(), probes.end(),
                                            [start](const auto& p) { return p.sent >= start; }));
  return probes;
}

TargetStats ReadStats(const DelayTarget& target) {
  TargetStats stats;
  stats.total_delay_ms = target.total_delay_ms.load();
  stats.reply_count = target.reply_count.load();
  stats.timeout_count = target.timeout_count.load();
  stats.max_delay_ms = target.max_delay_ms.load();
  stats.min_delay_ms = target.min_delay_ms.load();
  stats.last_delay_ms = target.last_delay_ms.load();
  return stats;
}

RowTexts ReadRow(const DelayTarget& target) {
  if (target.resolved) {
    return ResolvedRow(target.host, ReadStats(target));
  }
  return target.lookup == DelayTarget::Lookup::kPending ? PendingRow(target.host)
                                                        : UnresolvedRow(target.host);
}

std::string ReadAddress(const DelayTarget& target) {
  const DelayTarget::AddressRecord record = target.address();
  return AddressText(record.address.address().to_string(), record.changed_ms,
                     record.previous ? record.previous->address().to_string() : std::string());
}

DetailTexts ReadDetails(const DelayTarget& target, const std::vector<ProbeHistory::Probe>& probes) {
  DetailTexts details;
  if (!target.resolved) {
    details.fill(target.lookup == DelayTarget::Lookup::kPending ? kPendingCell : "*");
    return details;
  }
  const HistoryFigures figures = Summarize(probes);
  const std::int64_t last_reply_ns = target.last_reply_ns.load();
  const auto set = [&details](DetailField field, std::string text) {
    details[DetailIndex(field)] = std::move(text);
  };
  set(DetailField::kAddress, ReadAddress(target));
  set(DetailField::kJitter, MillisText(figures.jitter_ms));
  set(DetailField::kDeviation, MillisText(figures.deviation_ms));
  set(DetailField::kDuplicates, CountCell(target.duplicate_count.load()));
  set(DetailField::kLate, CountCell(target.late_count.load()));
  set(DetailField::kLatestReply,
      last_reply_ns == 0 ? "-" : WallClock(last_reply_ns, "%Y-%m-%d %H:%M:%S"));
  set(DetailField::kState, StateOf(target));
  return details;
}
