#include "engine/state_board.h"

#include "engine/delay_target.h"

namespace {

// Milliseconds of the steady clock since its epoch, the trackers' time.
std::int64_t SteadyMs(ProbeHistory::Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

// The wall time, in ms since the Unix epoch, of a steady-clock time in ms.
std::int64_t WallMs(std::int64_t steady_ms, const ClockPair& now) {
  return now.wall_ns / 1000000 + (steady_ms - SteadyMs(now.steady));
}

}  // namespace

StateBoard::StateBoard(const Targets& targets, const HostStateRules& rules) {
  hosts_.reserve(targets.size());
  for (const auto& target : targets) {
    const bool probed = target->resolved;
    hosts_.push_back(
        {probed ? &target->history : nullptr, ProbeHistory::Clock::time_point::min(),
         HostStateTracker(rules, probed ? HostState::kNotYet : HostState::kUnresolved)});
    ++counts_[static_cast<std::size_t>(hosts_.back().tracker.state())];
  }
}

std::vector<StateBoard::Change> StateBoard::Update(const ClockPair& now) {
  std::vector<Change> changes;
  for (std::size_t target = 0; target < hosts_.size(); ++target) {
    if (hosts_[target].probes != nullptr) {
      ReadHost(target, now, changes);
    }
  }
  return changes;
}

void StateBoard::ReadHost(std::size_t target, const ClockPair& now, std::vector<Change>& changes) {
  Host& host = hosts_[target];
  scratch_.clear();
  if (host.probes->ProbesSince(host.read, scratch_) == 0) {
    return;
  }
  for (const ProbeHistory::Probe& probe : scratch_) {
    const auto change = host.tracker.Add(SteadyMs(probe.sent), probe.delay_ms);
    if (!change) {
      continue;
    }
    --counts_[static_cast<std::size_t>(change->from)];
    ++counts_[static_cast<std::size_t>(change->to)];
    changes.push_back({target, change->from, change->to, WallMs(change->at_ms, now)});
  }
  host.read = scratch_.back().sent;
}

void StateBoard::SetRules(const HostStateRules& rules) {
  for (Host& host : hosts_) {
    // Later changes are stamped no earlier than the probes already judged.
    const std::int64_t floor_ms =
        host.read == ProbeHistory::Clock::time_point::min() ? 0 : SteadyMs(host.read);
    host.tracker = HostStateTracker(rules, host.tracker.state(), floor_ms);
  }
}
