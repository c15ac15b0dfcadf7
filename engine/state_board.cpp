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

StateBoard::StateBoard(const Targets& targets, const HostStateRules& rules) : rules_(rules) {
  hosts_.reserve(targets.size());
  for (const auto& target : targets) {
    hosts_.push_back(NewHost(*target));
    ++counts_[static_cast<std::size_t>(hosts_.back().tracker.state())];
  }
}

StateBoard::Host StateBoard::NewHost(const DelayTarget& target) const {
  const bool waiting = target.lookup.load() == DelayTarget::Lookup::kPending;
  // Unprobed at first even when resolved: the first update starts reading its ring.
  return {&target, nullptr, ProbeHistory::Clock::time_point::min(),
          HostStateTracker(
              rules_, waiting || target.resolved ? HostState::kNotYet : HostState::kUnresolved)};
}

void StateBoard::Remap(const Targets& targets, const std::vector<std::size_t>& previous) {
  std::vector<Host> hosts;
  hosts.reserve(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const bool kept = i < previous.size() && previous[i] < hosts_.size();
    hosts.push_back(kept ? hosts_[previous[i]] : NewHost(*targets[i]));
  }
  hosts_ = std::move(hosts);
  counts_ = {};
  for (const Host& host : hosts_) {
    ++counts_[static_cast<std::size_t>(host.tracker.state())];
  }
}

void StateBoard::Restart(Host& host, HostState start) {
  --counts_[static_cast<std::size_t>(host.tracker.state())];
  host.tracker = HostStateTracker(rules_, start);
  ++counts_[static_cast<std::size_t>(start)];
}

void StateBoard::FollowLookup(Host& host) {
  if (host.target->resolved.load()) {
    if (host.probes == nullptr) {
      host.probes = &host.target->history;
      if (host.tracker.state() == HostState::kUnresolved) {
        Restart(host, HostState::kNotYet);
      }
    }
    return;
  }
  host.probes = nullptr;
  const HostState start = host.target->lookup.load() == DelayTarget::Lookup::kPending
                              ? HostState::kNotYet
                              : HostState::kUnresolved;
  if (host.tracker.state() != start) {
    Restart(host, start);
  }
}

std::vector<StateBoard::Change> StateBoard::Update(const ClockPair& now) {
  std::vector<Change> changes;
  for (std::size_t target = 0; target < hosts_.size(); ++target) {
    FollowLookup(hosts_[target]);
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
  rules_ = rules;
  for (Host& host : hosts_) {
    // Later changes are stamped no earlier than the probes already judged.
    const std::int64_t floor_ms =
        host.read == ProbeHistory::Clock::time_point::min() ? 0 : SteadyMs(host.read);
    host.tracker = HostStateTracker(rules, host.tracker.state(), floor_ms);
  }
}
