#ifndef LUMORET_UI_OUTAGE_LOG_LIST_H
#define LUMORET_UI_OUTAGE_LOG_LIST_H

#include <wx/listctrl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/log_entry.h"
#include "ui/outage_log_texts.h"

// The outage log window's report list. It holds the entries, not their texts: a row is
// formatted when it is drawn, so a log of 170,000 rows costs only the rows on screen. A
// click on a column title sorts by it; the selection, the focus and the scroll position
// stay with their entries through sorts and new entries.
class OutageLogList : public wxListCtrl {
 public:
  OutageLogList(wxWindow* parent, wxWindowID id);

  // Shows entries (newest first, as the store reads them) in order, their positions as
  // SortedLog gives them under sorted_by; sorts them again when the list's sort has
  // changed since.
  void SetEntries(std::vector<LogEntry> entries, std::vector<std::size_t> order, LogSort sorted_by);
  // The column sorting the rows and which way.
  LogSort sort() const { return sort_; }
  // The entries as shown, in that order.
  std::vector<LogEntry> ShownEntries() const;
  void SelectAll();
  // The selected rows in list order under the column titles, tab-separated.
  std::string SelectedText() const;
  // Puts SelectedText on the clipboard; nothing when no row is selected.
  void CopySelection();

 protected:
  wxString OnGetItemText(long item, long column) const override;

 private:
  // What the user holds on to, by entry, while the rows change under it.
  struct Held {
    bool all_selected = false;                  // every row, however many come
    std::unordered_set<std::int64_t> selected;  // the ids of the selected rows otherwise
    std::optional<std::int64_t> focused;        // the focused row's
    std::optional<std::int64_t> anchor;         // the row that keeps its place on screen
    long anchor_offset = 0;                     // its rows below the top one
  };

  void OnColumnClick(wxListEvent& event);
  Held Hold() const;
  // Shows entries_ in order_ with the selection, focus and scroll position of held.
  void Restore(const Held& held);
  const LogEntry& EntryAt(long row) const {
    return entries_[order_[static_cast<std::size_t>(row)]];
  }

  std::vector<LogEntry> entries_;   // newest first
  std::vector<std::size_t> order_;  // the position in entries_ shown in each row
  LogSort sort_;                    // the order of the rows
};

#endif  // LUMORET_UI_OUTAGE_LOG_LIST_H
