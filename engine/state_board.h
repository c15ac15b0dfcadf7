#ifndef LUMORET_ENGINE_STATE_BOARD_H
#define LUMORET_ENGINE_STATE_BOARD_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/clock_pair.h"
#include "engine/host_state.h"
#include "engine/probe_history.h"

class DelayTarget;

// Every target's state as the window shows it: a HostStateTracker per target, fed the
// probes its ring gained since the last update. Owned and called by the GUI thread alone;
// the worker keeps adding to the rings meanwhile, under their own locks. A target whose
// name is still looked up waits (kNotYet), one whose look-up failed is kUnresolved, and
// one that has an address is judged from its ring, as its look-up moves on.
class StateBoard {
 public:
  using Targets = std::vector<std::shared_ptr<DelayTarget>>;
  // How many states there are, to count them by.
  static constexpr std::size_t kStateCount = static_cast<std::size_t>(HostState::kUnresolved) + 1;
  // Targets per state, indexed by the state's value.
  using Counts = std::array<std::size_t, kStateCount>;

  // A change of one target's state.
  struct Change {
    std::size_t target = 0;               // its index among the targets
    HostState from = HostState::kNotYet;  // the state before
    HostState to = HostState::kNotYet;    // the state after
    std::int64_t at_ms = 0;               // when it began, ms since the Unix epoch
  };

  // A board over targets, which must outlive it (or be dropped by Remap first).
  StateBoard(const Targets& targets, const HostStateRules& rules);
  StateBoard(const StateBoard&) = delete;
  StateBoard& operator=(const StateBoard&) = delete;

  // Reads the probes each ring gained since the last call and judges them; the changes,
  // per target in the order they happened. now turns their steady times into wall times.
  std::vector<Change> Update(const ClockPair& now);
  // Judges by new rules from here on; every target keeps the state it is in.
  void SetRules(const HostStateRules& rules);
  // Follows a change of the list to targets, previous as DelayTimeMgr::ChangeTargets
  // returned it: kept targets keep their trackers and states, new ones start as at
  // construction, removed ones go from the counts. Reads nothing of a removed target.
  void Remap(const Targets& targets, const std::vector<std::size_t>& previous);

  HostState state(std::size_t target) const { return hosts_[target].tracker.state(); }
  const Counts& counts() const { return counts_; }
  std::size_t size() const { return hosts_.size(); }

 private:
  // One target's ring, how far it has been read, and the judge of what was read.
  struct Host {
    const DelayTarget* target;   // the engine's; its look-up state is read at each update
    const ProbeHistory* probes;  // null until the target has an address: never probed
    ProbeHistory::Clock::time_point read = ProbeHistory::Clock::time_point::min();  // newest read
    HostStateTracker tracker;  // fed in steady-clock ms
  };

  // A new target's entry, waiting or unresolved as its look-up stands.
  Host NewHost(const DelayTarget& target) const;
  // Starts reading a target's ring once it has an address, and moves one without an
  // address between waiting and unresolved as its look-up goes; counts follow.
  void FollowLookup(Host& host);
  // Puts host in state start afresh, its counts following.
  void Restart(Host& host, HostState start);
  // Feeds one host the probes of its ring after host.read, adding its changes to changes.
  void ReadHost(std::size_t target, const ClockPair& now, std::vector<Change>& changes);

  std::vector<Host> hosts_;                   // by target index
  Counts counts_{};                           // hosts_ per state
  std::vector<ProbeHistory::Probe> scratch_;  // one host's new probes, reused
  HostStateRules rules_;                      // what new trackers judge by
};

#endif  // LUMORET_ENGINE_STATE_BOARD_H
