#ifndef LUMORET_EXPORTER_METRICS_COLLECTOR_H
#define LUMORET_EXPORTER_METRICS_COLLECTOR_H

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include "engine/delay_histogram.h"
#include "engine/delay_time_mgr.h"
#include "engine/host_state.h"
#include "engine/state_board.h"

// Reply-delay histogram bounds in seconds when none are given: from half a millisecond on
// a LAN to a second, +Inf above up to the 5-second wait. Eleven, so that a scrape of
// 10,000 hosts stays well under 20 MB of text (each bound is a line per host).
extern const DelayHistogram::Bounds kDefaultBuckets;

// The engine's figures as Prometheus metric families, read at scrape time from the
// targets' atomics (nothing is counted twice, nothing waits on the worker): per host
// (labels host, as in config.ini, and ip) the requests, replies, timeouts, duplicates,
// late replies, reply delays and state; the engine's own counts; the process's figures.
class MetricsCollector : public prometheus::Collectable {
 public:
  // Reads engine's counts; its targets come through SetTargets. Up and down are judged by
  // rules, as the window judges its rows.
  explicit MetricsCollector(const DelayTimeMgr& engine,
                            const HostStateRules& rules = HostStateRules());
  // The owner's thread (the one that changes the engine's targets): the targets to report
  // from now on; call after construction and after every ChangeTargets.
  void SetTargets(const DelayTimeMgr::TargetList& targets);
  // Any thread: judges up and down by rules from now on (the window's settings changed).
  void SetRules(const HostStateRules& rules);
  // Any thread: every family, one at a time in a fixed order, so that a scrape holds one
  // family of all hosts at most, never all of them at once.
  // take may move the family away: it is not used again.
  void CollectEach(const std::function<void(prometheus::MetricFamily&)>& take) const;
  // Any thread: every family at once (prometheus::Collectable).
  std::vector<prometheus::MetricFamily> Collect() const override;

  // The reported hosts' states by the window's rules and their starts, as a scrape reads
  // them.
  struct Judgement {
    std::vector<HostState> states;       // by reported target
    std::vector<std::int64_t> since_ms;  // when each began, ms since the Unix epoch; 0: not known
  };

 private:
  // The targets as one scrape sees them.
  struct Listing {
    // The first target of each host text: a host listed twice would give two series of
    // the same labels, which Prometheus refuses, so the later listings are left out.
    DelayTimeMgr::TargetList reported;
    std::size_t listed = 0;  // targets in the list, every listing counted
    // The reported targets' states by the window's rules, brought up to date by each
    // scrape (under board_mutex), and when each state began, ms since the Unix epoch.
    mutable std::mutex board_mutex;
    std::unique_ptr<StateBoard> board;
    mutable std::vector<std::int64_t> since_ms;
  };
  // Brings listing's board up to date and reads it.
  static Judgement Judge(const Listing& listing);
  // The listing last set, under the lock.
  std::shared_ptr<const Listing> CurrentListing() const;

  const DelayTimeMgr& engine_;        // the engine-wide counts
  mutable std::mutex targets_mutex_;  // guards targets_ and rules_
  HostStateRules rules_;              // what up and down are judged by
  // The listing as last set; a scrape takes a reference and reads without the lock.
  std::shared_ptr<const Listing> targets_;
};

#endif  // LUMORET_EXPORTER_METRICS_COLLECTOR_H
