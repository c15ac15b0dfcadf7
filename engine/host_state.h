#ifndef LUMORET_ENGINE_HOST_STATE_H
#define LUMORET_ENGINE_HOST_STATE_H

#include <cstdint>
#include <optional>
#include <string>

// What a host's recent probes say about it, as a row, an alert or the outage log tells it.
enum class HostState {
  kNotYet,     // no reply yet, and not enough timeouts to call it down
  kUp,         // answering, with little loss and delay
  kLossy,      // answering, but losing or slow over the recent probes
  kDown,       // the latest requests went unanswered
  kUnresolved  // its name did not resolve: it is never probed
};

// The state's name in the outage log: "not_yet", "up", "lossy", "down", "unresolved".
const char* HostStateName(HostState state);
// The state a name stands for; empty for any other text.
std::optional<HostState> HostStateFromName(const std::string& name);

// The settings of the state rules.
struct HostStateRules {
  // Down after this many consecutive unanswered requests: 2, as ping monitors do, so that
  // one dropped packet is not an outage but a dead host shows within two timeouts.
  int down_after_lost = 2;
  // The recent probes that loss and delay are judged over (at most kMaxWindow): 20, the
  // pings per round smokeping and its peers judge, about 20 s at one probe a second.
  int window = 20;
  // Lossy when more than this share of the window was lost: 10 %, so that one or two
  // stray drops in 20 (common on any path) are not flagged, three are.
  int lossy_loss_percent = 10;
  // Lossy when most replies of the window (their median) took longer than this: 200 ms,
  // where ping monitors turn a row yellow and calls start to suffer.
  std::uint32_t lossy_delay_ms = 200;

  // The longest window the tracker keeps.
  static constexpr int kMaxWindow = 64;
};

// Turns one host's probe outcomes, in the order they were sent, into its state and the
// moments it changes. Up again after one reply; down after down_after_lost timeouts in a
// row; in between up or lossy by the window. The loss that led to an outage is forgotten
// with it, so a host that answers again is judged on what came after.
class HostStateTracker {
 public:
  // A change of state and when: the request that started it, in ms since the Unix epoch.
  struct Change {
    std::int64_t at_ms = 0;               // when it began
    HostState from = HostState::kNotYet;  // the state before
    HostState to = HostState::kNotYet;    // the state after
  };

  // A tracker in state start (a restart goes on from the last state logged), whose
  // changes are stamped no earlier than since_ms.
  explicit HostStateTracker(const HostStateRules& rules = HostStateRules(),
                            HostState start = HostState::kNotYet, std::int64_t since_ms = 0);

  // Adds a probe sent at sent_ms, answered after delay_ms or lost (empty); the change it
  // made, if any. A down is stamped at the first request of the unanswered run.
  std::optional<Change> Add(std::int64_t sent_ms, std::optional<std::uint32_t> delay_ms);

  HostState state() const { return state_; }

 private:
  // The state the window and the run of timeouts call for, after a probe.
  HostState Judge(bool answered) const;

  HostStateRules rules_;             // window clamped to 1..kMaxWindow
  HostState state_;                  // the current state
  std::uint64_t lost_bits_ = 0;      // bit k: the probe k probes ago was lost
  std::uint64_t slow_bits_ = 0;      // bit k: it was answered slower than lossy_delay_ms
  int filled_ = 0;                   // probes in the window, at most rules_.window
  int lost_run_ = 0;                 // unanswered requests in a row, up to the latest
  std::int64_t run_start_ms_ = 0;    // when the first of them was sent
  std::int64_t last_change_ms_ = 0;  // when the latest change was stamped
};

#endif  // LUMORET_ENGINE_HOST_STATE_H
