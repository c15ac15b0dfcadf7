#ifndef LUMORET_UI_SORT_RULES_H
#define LUMORET_UI_SORT_RULES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/cell_rules.h"

// The order of the list's rows when a column sorts them, free of any toolkit type.

// Which column sorts the rows and which way.
struct SortState {
  std::optional<Column> column;  // none keeps the config.ini order
  bool descending = false;       // largest value first

  bool operator==(const SortState& other) const {
    return column == other.column && descending == other.descending;
  }
};

// A click on a column title: that column ascending, then descending, then unsorted.
SortState NextSortState(SortState current, Column clicked_column);

// Where a row goes under a sorting column.
struct SortKey {
  enum class Rank { kValue, kNoValue, kUnresolved };
  Rank rank = Rank::kValue;  // values first, then "-" cells, then "*" rows, in both directions
  std::int64_t value = 0;    // the number the cell shows; compared only within kValue
};

// The key of a statistics column (any but the host) for a resolved target.
SortKey StatsSortKey(const TargetStats& stats, Column column);
// The keys of the host column: the rank of each host in natural order, so
// "10.0.0.9" comes before "10.0.0.10"; unresolved hosts last.
std::vector<SortKey> HostSortKeys(const std::vector<std::string>& hosts,
                                  const std::vector<bool>& resolved);
// Row positions in display order: by value, ascending or descending, then "-" and "*"
// rows; equal keys keep their config.ini order.
std::vector<std::size_t> SortedRows(const std::vector<SortKey>& keys, bool descending);

#endif  // LUMORET_UI_SORT_RULES_H
