#ifndef LUMORET_UI_RANGE_EXPORT_H
#define LUMORET_UI_RANGE_EXPORT_H

#include <atomic>
#include <string>
#include <vector>

#include "ui/time_view.h"

class HistoryStore;

// A range of hosts' history as CSV, read from the store (off the GUI thread: it reads
// the disk for every host).
class RangeExport {
 public:
  // hosts' buckets over view, each view.ExportStep() long and on a multiple of it, from
  // the finest tier that holds them; empty once cancelled turns true.
  static std::string Text(HistoryStore& store, const std::vector<std::string>& hosts,
                          const TimeView& view, const std::atomic<bool>& cancelled,
                          const char* line_end);
};

#endif  // LUMORET_UI_RANGE_EXPORT_H
