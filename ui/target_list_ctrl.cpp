#include "ui/target_list_ctrl.h"

#include <wx/clipbrd.h>
#include <wx/dataobj.h>
#include <wx/imaglist.h>

#include <algorithm>
#include <numeric>

#include "engine/delay_target.h"
#include "engine/state_board.h"
#include "ui/host_figures.h"
#include "ui/state_glyphs.h"

namespace {

// More rows than any screen shows; beyond it the formatted rows are dropped early.
constexpr std::size_t kShownLimit = 4096;
// The side of the state glyphs before the hosts, in pixels.
constexpr int kGlyphSize = 16;

}  // namespace

TargetListCtrl::TargetListCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos,
                               const wxSize& size)
    : wxListCtrl(parent, id, pos, size, wxLC_REPORT | wxLC_VIRTUAL | wxLC_HRULES | wxLC_VRULES) {
  Bind(wxEVT_LIST_COL_CLICK, &TargetListCtrl::OnColumnClick, this);
  // One glyph per state, at the state's value.
  auto* glyphs = new wxImageList(kGlyphSize, kGlyphSize, false, StateBoard::kStateCount);
  for (std::size_t state = 0; state < StateBoard::kStateCount; ++state) {
    glyphs->Add(StateGlyph(static_cast<HostState>(state), kGlyphSize));
  }
  AssignImageList(glyphs, wxIMAGE_LIST_SMALL);
  for (auto [look, state] :
       {std::pair(&down_look_, HostState::kDown), std::pair(&lossy_look_, HostState::kLossy)}) {
    look->SetBackgroundColour(RowBackground(state));
    look->SetTextColour(*wxBLACK);
  }
}

void TargetListCtrl::SetTargets(const Targets& targets) {
  targets_ = &targets;
  order_.resize(targets.size());
  std::iota(order_.begin(), order_.end(), 0);
  row_of_ = order_;
  std::vector<std::string> hosts;
  std::vector<bool> resolved;
  for (const auto& target : targets) {
    hosts.push_back(target->host);
    resolved.push_back(target->resolved);
  }
  host_keys_ = HostSortKeys(hosts, resolved);
  shown_.clear();
  SetItemCount(static_cast<long>(targets.size()));
}

RowTexts TargetListCtrl::FreshTexts(std::size_t target) const {
  return ReadRow(*(*targets_)[target]);
}

const RowTexts& TargetListCtrl::ShownTexts(std::size_t target) const {
  auto found = shown_.find(target);
  if (found == shown_.end()) {
    if (shown_.size() >= kShownLimit) {
      shown_.clear();
    }
    found = shown_.emplace(target, FreshTexts(target)).first;
  }
  return found->second;
}

wxString TargetListCtrl::OnGetItemText(long item, long column) const {
  if (item < 0 || static_cast<std::size_t>(item) >= order_.size() || column < 0 ||
      column >= kColumnCount) {
    return wxString();
  }
  return wxString::FromUTF8(ShownTexts(TargetAt(item))[column]);
}

wxItemAttr* TargetListCtrl::OnGetItemAttr(long item) const {
  if (board_ == nullptr || item < 0 || static_cast<std::size_t>(item) >= order_.size()) {
    return nullptr;
  }
  switch (board_->state(TargetAt(item))) {
    case HostState::kDown:
      return &down_look_;
    case HostState::kLossy:
      return &lossy_look_;
    default:
      return nullptr;
  }
}

int TargetListCtrl::OnGetItemImage(long item) const {
  if (board_ == nullptr || item < 0 || static_cast<std::size_t>(item) >= order_.size()) {
    return -1;
  }
  return static_cast<int>(board_->state(TargetAt(item)));
}

int TargetListCtrl::OnGetItemColumnImage(long item, long column) const {
  return column == 0 ? OnGetItemImage(item) : -1;
}

bool TargetListCtrl::VisibleRows(long* first, long* last) const {
  const long count = GetItemCount();
  if (count == 0) {
    return false;
  }
  *first = std::clamp(GetTopItem(), 0L, count - 1);
  *last = std::min(*first + GetCountPerPage(), count - 1);
  return true;
}

void TargetListCtrl::RefreshRows() {
  shown_.clear();
  if (sort_.column && *sort_.column != Column::kHost) {
    ApplyOrder(SortedOrder());
  }
  long first = 0;
  long last = 0;
  if (VisibleRows(&first, &last)) {
    RefreshItems(first, last);
  }
}

std::vector<std::size_t> TargetListCtrl::SortedOrder() const {
  if (!sort_.column) {
    std::vector<std::size_t> order(order_.size());
    std::iota(order.begin(), order.end(), 0);
    return order;
  }
  if (*sort_.column == Column::kHost) {
    return SortedRows(host_keys_, sort_.descending);
  }
  std::vector<SortKey> keys;
  keys.reserve(targets_->size());
  for (const auto& target : *targets_) {
    keys.push_back(target->resolved ? StatsSortKey(ReadStats(*target), *sort_.column)
                                    : SortKey{SortKey::Rank::kUnresolved, 0});
  }
  return SortedRows(keys, sort_.descending);
}

void TargetListCtrl::ApplyOrder(std::vector<std::size_t> order) {
  long first = 0;
  long last = 0;
  if (order == order_ || !VisibleRows(&first, &last)) {
    return;
  }
  // What the user holds on to, by target: the selected rows, the focused row, and the
  // row that keeps its place on screen (the focused one if on screen, else the top one).
  const long count = GetItemCount();
  const bool all_selected = GetSelectedItemCount() == count;
  std::vector<std::size_t> selected;
  for (long row = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
       row != -1 && !all_selected; row = GetNextItem(row, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
    selected.push_back(TargetAt(row));
  }
  const long focused = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
  const long anchor = focused >= first && focused <= last ? focused : first;
  const std::size_t anchor_target = TargetAt(anchor);
  const std::size_t focused_target = focused >= 0 ? TargetAt(focused) : 0;

  order_ = std::move(order);
  for (std::size_t row = 0; row < order_.size(); ++row) {
    row_of_[order_[row]] = row;
  }
  if (!all_selected) {
    SetItemState(-1, 0, wxLIST_STATE_SELECTED);
    std::vector<long> rows;
    for (std::size_t target : selected) {
      rows.push_back(static_cast<long>(row_of_[target]));
    }
    // In ascending order each one is appended to the list's selection store.
    std::sort(rows.begin(), rows.end());
    for (long row : rows) {
      SetItemState(row, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    }
  }
  if (focused >= 0) {
    SetItemState(static_cast<long>(row_of_[focused_target]), wxLIST_STATE_FOCUSED,
                 wxLIST_STATE_FOCUSED);
  }
  const long top = std::max(0L, static_cast<long>(row_of_[anchor_target]) - (anchor - first));
  wxRect line;
  if (top != GetTopItem() && GetItemRect(0, line)) {
    ScrollList(0, (top - GetTopItem()) * line.height);
  }
}

void TargetListCtrl::OnColumnClick(wxListEvent& event) {
  if (targets_ == nullptr || event.GetColumn() < 0 || event.GetColumn() >= kColumnCount) {
    return;
  }
  SetSortState(NextSortState(sort_, static_cast<Column>(event.GetColumn())));
}

void TargetListCtrl::SetSortState(const SortState& state) {
  sort_ = state;
  if (!sort_.column) {
    RemoveSortIndicator();
  } else {
    ShowSortIndicator(ColumnIndex(*sort_.column), !sort_.descending);
  }
  ApplyOrder(SortedOrder());
  Refresh();
}

void TargetListCtrl::SelectAll() {
  SetItemState(-1, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
}

std::string TargetListCtrl::SelectedText() const {
  std::vector<RowTexts> rows;
  for (long row = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); row != -1;
       row = GetNextItem(row, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
    // What the row shows, if it was drawn since the refresh.
    const auto shown = shown_.find(TargetAt(row));
    rows.push_back(shown != shown_.end() ? shown->second : FreshTexts(TargetAt(row)));
  }
  return TabSeparated(rows);
}

void TargetListCtrl::CopySelection() {
  if (GetSelectedItemCount() == 0) {
    return;
  }
  wxClipboardLocker clipboard;
  if (!clipboard) {
    return;  // another program holds it; the next Ctrl+C tries again
  }
  wxTheClipboard->SetData(new wxTextDataObject(wxString::FromUTF8(SelectedText())));
}

std::vector<ExportRow> TargetListCtrl::ExportRows() const {
  std::vector<ExportRow> rows;
  rows.reserve(order_.size());
  for (std::size_t target : order_) {
    const DelayTarget& t = *(*targets_)[target];
    ProbeHistory::Clock::time_point now;
    rows.push_back({ReadRow(t), ReadDetails(t, RecentProbes(t, &now))});
  }
  return rows;
}
