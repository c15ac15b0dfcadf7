#ifndef LUMORET_UI_HOST_FIGURES_H
#define LUMORET_UI_HOST_FIGURES_H

#include <chrono>
#include <vector>

#include "engine/probe_history.h"
#include "ui/cell_rules.h"
#include "ui/detail_texts.h"

class DelayTarget;

// Reading a target's figures for the screen and the export. The statistics are atomics
// and the history takes copies, so these are safe while the engine runs.

// How far back the details look: the graph's time axis, jitter and deviation.
constexpr std::chrono::minutes kRecentSpan{10};

// The target's probes sent in the kRecentSpan up to now, oldest first; now is read after
// the copy is taken, so no probe lies beyond it.
std::vector<ProbeHistory::Probe> RecentProbes(const DelayTarget& target,
                                              ProbeHistory::Clock::time_point* now);
// The nine statistics, each read whole.
TargetStats ReadStats(const DelayTarget& target);
// The nine cells of the target's row.
RowTexts ReadRow(const DelayTarget& target);
// The address probed, with when it changed and the one before, if it did (AddressText).
std::string ReadAddress(const DelayTarget& target);
// The extra figures, jitter and deviation from probes (the target's history); times are
// shown on the wall clock of now.
DetailTexts ReadDetails(const DelayTarget& target, const std::vector<ProbeHistory::Probe>& probes);

#endif  // LUMORET_UI_HOST_FIGURES_H
