#ifndef LUMORET_UI_TARGET_LIST_CTRL_H
#define LUMORET_UI_TARGET_LIST_CTRL_H

#include <wx/listctrl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ui/cell_rules.h"
#include "ui/detail_texts.h"
#include "ui/sort_rules.h"

class DelayTarget;
class StateBoard;

// The main window's report list. It holds no texts of its own: a row is formatted from
// its target's statistics when it is drawn, so the work of a refresh follows the rows
// on screen, not the number of targets. A click on a column title sorts by it. A row's
// colour and the glyph before its host tell its state.
class TargetListCtrl : public wxListCtrl {
 public:
  using Targets = std::vector<std::shared_ptr<DelayTarget>>;

  TargetListCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size);

  // One row per target, in config.ini order; the targets must outlive the list, and
  // host and resolved must no longer change.
  void SetTargets(const Targets& targets);
  // Where the rows' states are read, by target; null: no colours or glyphs. The board
  // must outlive the list, or be replaced first.
  void SetStateBoard(const StateBoard* board) { board_ = board; }
  // Reads the statistics again: re-sorts when a statistics column sorts, keeping the
  // selection and the scroll position with their hosts, then redraws the rows on screen.
  void RefreshRows();
  void SelectAll();
  // The selected rows in list order under the column titles, tab-separated.
  std::string SelectedText() const;
  // Puts SelectedText on the clipboard; nothing when no row is selected.
  void CopySelection();
  // Every row in the order on screen, its cells read afresh, with the extra figures.
  std::vector<ExportRow> ExportRows() const;
  // The column sorting the rows and its direction.
  const SortState& sort_state() const { return sort_; }
  // Sorts the rows as state says, with the title's indicator, as clicks on it would.
  void SetSortState(const SortState& state);
  // Position in config.ini of the target shown in a row.
  std::size_t TargetAt(long row) const { return order_[static_cast<std::size_t>(row)]; }

 protected:
  wxString OnGetItemText(long item, long column) const override;
  wxItemAttr* OnGetItemAttr(long item) const override;
  int OnGetItemImage(long item) const override;
  int OnGetItemColumnImage(long item, long column) const override;

 private:
  void OnColumnClick(wxListEvent& event);
  std::vector<std::size_t> SortedOrder() const;
  // Shows the rows in a new order, the selection, focus and scroll position following
  // the hosts.
  void ApplyOrder(std::vector<std::size_t> order);
  // The range of rows on screen, last one partly visible included; false when empty.
  bool VisibleRows(long* first, long* last) const;
  RowTexts FreshTexts(std::size_t target) const;
  // The texts a row shows until the next refresh, formatted once.
  const RowTexts& ShownTexts(std::size_t target) const;

  const Targets* targets_ = nullptr;                         // the engine's, read only
  std::vector<std::size_t> order_;                           // target position shown in each row
  std::vector<std::size_t> row_of_;                          // row showing each target
  std::vector<SortKey> host_keys_;                           // hosts never change, so sorted once
  SortState sort_;                                           // the column sorting the rows, if any
  mutable std::unordered_map<std::size_t, RowTexts> shown_;  // by target, since the refresh
  const StateBoard* board_ = nullptr;                        // the rows' states, if any
  // The colours of a down and of a lossy row, handed to the list when it draws one.
  mutable wxItemAttr down_look_;
  mutable wxItemAttr lossy_look_;
};

#endif  // LUMORET_UI_TARGET_LIST_CTRL_H
