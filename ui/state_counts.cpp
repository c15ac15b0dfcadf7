#include "ui/state_counts.h"

#include "ui/cell_rules.h"

namespace {

// The states from the worst down, as the tray icon ranks them, up last.
constexpr HostState kWorstFirst[] = {HostState::kDown, HostState::kLossy, HostState::kUnresolved,
                                     HostState::kNotYet};
// The order of the status bar's counts.
constexpr HostState kShownOrder[] = {HostState::kUp, HostState::kLossy, HostState::kDown,
                                     HostState::kUnresolved, HostState::kNotYet};
// Between two counts of the status bar.
constexpr char kSeparator[] = " · ";

std::size_t CountOf(const StateBoard::Counts& counts, HostState state) {
  return counts[static_cast<std::size_t>(state)];
}

}  // namespace

std::string GroupedCount(std::size_t count) {
  std::string digits = std::to_string(count);
  for (std::size_t at = digits.size(); at > 3; at -= 3) {
    digits.insert(at - 3, 1, ',');
  }
  return digits;
}

std::string StateCountsText(const StateBoard::Counts& counts, const std::string& mode) {
  std::string text;
  for (const HostState state : kShownOrder) {
    const std::size_t count = CountOf(counts, state);
    if (count == 0 && state != HostState::kUp) {
      continue;
    }
    text += (text.empty() ? "" : kSeparator) + std::string(StateText(state)) + ' ' +
            GroupedCount(count);
  }
  return mode.empty() ? text : text + kSeparator + mode;
}

HostState WorstState(const StateBoard::Counts& counts) {
  for (const HostState state : kWorstFirst) {
    if (CountOf(counts, state) > 0) {
      return state;
    }
  }
  return HostState::kUp;
}
