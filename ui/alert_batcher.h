#ifndef LUMORET_UI_ALERT_BATCHER_H
#define LUMORET_UI_ALERT_BATCHER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/host_state.h"

// Turns hosts' state changes into desktop notifications the user can keep up with. Only
// going down and coming back (from down to up or lossy) are told; everything that
// happens between two notifications becomes one, told by each host's net result, and
// notifications are at least kMinGapMs apart. Free of any toolkit, so it is checked on
// its own.
class AlertBatcher {
 public:
  // One notification's texts, UTF-8.
  struct Alert {
    std::string title;  // the program's name: the desktop shows who tells
    std::string body;   // what changed, one or two lines
  };

  // No more than one notification in this long, so a burst or a flapping host cannot
  // flood the desktop.
  static constexpr std::int64_t kMinGapMs = 5000;
  // A burst spreads over a second or two as each host's timeouts run out: while it still
  // grows from one look to the next it is held, up to this long, to be told as one.
  static constexpr std::int64_t kMaxHoldMs = 3000;
  // Names listed in a line about many hosts; the rest become "…".
  static constexpr std::size_t kNamesShown = 3;

  // A change of host (as in config.ini) from one state to another, which began at at_ms
  // (ms since the Unix epoch). Changes that are neither a down nor a return are ignored.
  void Add(const std::string& host, HostState from, HostState to, std::int64_t at_ms);

  // The notification to give now, if anything is pending, it no longer grows (or was held
  // kMaxHoldMs), and kMinGapMs have passed since the last one given; now_ms on any clock
  // that does not go back. What it tells is taken off the pending.
  std::optional<Alert> Take(std::int64_t now_ms);
  // The last notification reached the desktop at now_ms (after Take): the pause counts
  // from there, so a slow delivery cannot bring the next one closer.
  void Given(std::int64_t now_ms) { last_given_ms_ = now_ms; }

 private:
  // One host's changes since the last notification.
  struct Pending {
    std::string host;       // as in config.ini
    bool was_down;          // down when last told (before its first change)
    HostState now;          // its latest state
    std::int64_t since_ms;  // when its latest down or return began
  };

  // Builds the texts of the hosts that went down and those that came back.
  static Alert Compose(const std::vector<const Pending*>& down,
                       const std::vector<const Pending*>& back);

  std::vector<Pending> pending_;                        // in the order they first changed
  std::unordered_map<std::string, std::size_t> index_;  // host to its place in pending_
  std::optional<std::int64_t> last_given_ms_;           // when the last notification was given
  std::optional<std::int64_t> first_look_ms_;           // the first look that found the pending
  bool grew_ = false;                                   // a change came in since the last look
};

#endif  // LUMORET_UI_ALERT_BATCHER_H
