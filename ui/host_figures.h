#ifndef LUMORET_UI_HOST_FIGURES_H
#define LUMORET_UI_HOST_FIGURES_H

#include <vector>

#include "engine/probe_history.h"
#include "ui/cell_rules.h"
#include "ui/detail_texts.h"

class DelayTarget;

// Reading a target's figures for the screen and the export. The statistics are atomics
// and the history takes copies, so these are safe while the engine runs.

// The nine statistics, each read whole.
TargetStats ReadStats(const DelayTarget& target);
// The nine cells of the target's row.
RowTexts ReadRow(const DelayTarget& target);
// The extra figures, jitter and deviation from probes (the target's history); times are
// shown on the wall clock of now.
DetailTexts ReadDetails(const DelayTarget& target, const std::vector<ProbeHistory::Probe>& probes);

#endif  // LUMORET_UI_HOST_FIGURES_H
