#include "engine/host_state.h"

#include <algorithm>
#include <bitset>
#include <iterator>

namespace {

// The names, in the order of the enum.
const char* const kNames[] = {"not_yet", "up", "lossy", "down", "unresolved"};

int Count(std::uint64_t bits) {
  return static_cast<int>(std::bitset<64>(bits).count());
}

}  // namespace

const char* HostStateName(HostState state) {
  return kNames[static_cast<int>(state)];
}

std::optional<HostState> HostStateFromName(const std::string& name) {
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    if (name == kNames[i]) {
      return static_cast<HostState>(i);
    }
  }
  return std::nullopt;
}

HostStateTracker::HostStateTracker(const HostStateRules& rules, HostState start,
                                   std::int64_t since_ms)
    : rules_(rules), state_(start), last_change_ms_(since_ms) {
  rules_.window = std::clamp(rules_.window, 1, HostStateRules::kMaxWindow);
  rules_.down_after_lost = std::max(1, rules_.down_after_lost);
}

std::optional<HostStateTracker::Change> HostStateTracker::Add(
    std::int64_t sent_ms, std::optional<std::uint32_t> delay_ms) {
  const bool answered = delay_ms.has_value();
  const std::uint64_t mask =
      rules_.window == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << rules_.window) - 1;
  lost_bits_ = (lost_bits_ << 1 | (answered ? 0 : 1)) & mask;
  slow_bits_ = (slow_bits_ << 1 | (answered && *delay_ms > rules_.lossy_delay_ms ? 1 : 0)) & mask;
  filled_ = std::min(filled_ + 1, rules_.window);
  if (answered) {
    lost_run_ = 0;
  } else if (lost_run_++ == 0) {
    run_start_ms_ = sent_ms;
  }
  const HostState next = Judge(answered);
  if (next == HostState::kDown) {
    // An outage's loss is its own: what follows it is judged afresh.
    lost_bits_ = slow_bits_ = 0;
    filled_ = 0;
  }
  if (next == state_) {
    return std::nullopt;
  }
  // Stamps never go back, though a down is dated to the run's first request.
  const std::int64_t at = next == HostState::kDown ? run_start_ms_ : sent_ms;
  last_change_ms_ = std::max(last_change_ms_, at);
  const Change change{last_change_ms_, state_, next};
  state_ = next;
  return change;
}

HostState HostStateTracker::Judge(bool answered) const {
  if (lost_run_ >= rules_.down_after_lost) {
    return HostState::kDown;
  }
  // Only a reply ends an outage or a wait for the first answer.
  if (!answered && (state_ == HostState::kNotYet || state_ == HostState::kDown ||
                    state_ == HostState::kUnresolved)) {
    return state_;
  }
  const int lost = Count(lost_bits_);
  const int replies = filled_ - lost;
  const bool lossy_by_loss = lost * 100 > rules_.lossy_loss_percent * rules_.window;
  // The median reply is slower than the threshold when more than half of them are.
  const bool lossy_by_delay = Count(slow_bits_) * 2 > replies;
  return lossy_by_loss || lossy_by_delay ? HostState::kLossy : HostState::kUp;
}
