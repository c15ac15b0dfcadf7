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
// colour and the glyph before its host tell its state. A filter narrows the rows to
// hosts containing its text or in a state whose word contains it.
class TargetListCtrl : public wxListCtrl {
 public:
  using Targets = std::vector<std::shared_ptr<DelayTarget>>;

  TargetListCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size);

  // One row per target, in config.ini order (the sort and filter applied); the targets
  // must outlive the list. Called again after the list changed, with previous as
  // DelayTimeMgr::ChangeTargets returned it: the selection, focus and scroll position
  // follow their targets, and rows of removed ones go. Without previous nothing is kept.
  // The state board, if set, must follow the list first: the filter reads its states.
  void SetTargets(const Targets& targets, const std::vector<std::size_t>* previous = nullptr);
  // Shows only the rows whose host contains text (ASCII letters in either case) or whose
  // state word (StateText) does; empty shows every row. Spaces around it do not count.
  void SetFilter(const std::string& text);
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
  // Every row shown, in the order on screen, its cells read afresh, with the extra figures:
  // the filter's rows alone while one is typed.
  std::vector<ExportRow> ExportRows() const;
  // The column sorting the rows and its direction.
  const SortState& sort_state() const { return sort_; }
  // Sorts the rows as state says, with the title's indicator, as clicks on it would.
  void SetSortState(const SortState& state);
  // Position in config.ini of the target shown in a row (a row of the filtered list).
  std::size_t TargetAt(long row) const { return order_[static_cast<std::size_t>(row)]; }

 protected:
  wxString OnGetItemText(long item, long column) const override;
  wxItemAttr* OnGetItemAttr(long item) const override;
  int OnGetItemImage(long item) const override;
  int OnGetItemColumnImage(long item, long column) const override;

 private:
  // row_of_'s word for a target the filter hides.
  static constexpr std::size_t kHidden = static_cast<std::size_t>(-1);
  // What the user holds on to in the rows, by target: kept across a new order, filter or list.
  struct Held {
    bool any = false;                   // there were rows on screen
    std::vector<std::size_t> selected;  // the selected rows' targets
    std::size_t focused = kHidden;      // the focused row's target, kHidden for none
    std::size_t anchor = kHidden;       // the target whose row keeps its place on screen
    long anchor_offset = 0;             // its row's distance from the top row
  };

  void OnColumnClick(wxListEvent& event);
  // Every target's position in the sort's order.
  std::vector<std::size_t> SortedOrder() const;
  // The targets of sorted that pass the filter, in that order.
  std::vector<std::size_t> Filtered(const std::vector<std::size_t>& sorted) const;
  // The sorted order through the filter, on screen.
  void ApplyOrder() { ShowRows(Filtered(sorted_)); }
  // Shows the rows in a new order, the selection, focus and scroll position following
  // the hosts.
  void ShowRows(std::vector<std::size_t> order);
  // What the user holds on to in the rows shown now.
  Held HoldRows() const;
  // Puts held back on the rows now shown; moved maps each held target to its position
  // now (null: the positions did not change).
  void Restore(const Held& held, const std::vector<std::size_t>* moved);
  // Makes order the rows, without holding anything.
  void SetOrder(std::vector<std::size_t> order);
  // Sorts the hosts again when a look-up changed which have addresses, or always (a new
  // list); true if it did.
  bool UpdateHostKeys(bool always);
  // The range of rows on screen, last one partly visible included; false when empty.
  bool VisibleRows(long* first, long* last) const;
  RowTexts FreshTexts(std::size_t target) const;
  // The texts a row shows until the next refresh, formatted once.
  const RowTexts& ShownTexts(std::size_t target) const;

  const Targets* targets_ = nullptr;      // the engine's, read only
  std::vector<std::size_t> sorted_;       // every target's position, in the sort's order
  std::vector<std::size_t> order_;        // target position shown in each row
  std::vector<std::size_t> row_of_;       // row showing each target, kHidden if filtered out
  std::vector<SortKey> host_keys_;        // sorted again only when a look-up changes a host's rank
  std::vector<bool> keyed_resolved_;      // whether each target had an address for host_keys_
  std::vector<std::string> lower_hosts_;  // each host in ASCII lower case, for the filter
  std::string filter_;                    // the filter in force, lower case; empty: none
  SortState sort_;                        // the column sorting the rows, if any
  mutable std::unordered_map<std::size_t, RowTexts> shown_;  // by target, since the refresh
  const StateBoard* board_ = nullptr;                        // the rows' states, if any
  // The colours of a down and of a lossy row, handed to the list when it draws one.
  mutable wxItemAttr down_look_;
  mutable wxItemAttr lossy_look_;
};

#endif  // LUMORET_UI_TARGET_LIST_CTRL_H
