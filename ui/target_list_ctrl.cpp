#include "ui/target_list_ctrl.h"

#include <wx/clipbrd.h>
#include <wx/dataobj.h>
#include <wx/imaglist.h>

#include <algorithm>
#include <array>
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

// text with its ASCII letters in lower case; other bytes as they are.
std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

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

void TargetListCtrl::SetTargets(const Targets& targets, const std::vector<std::size_t>* previous) {
  const Held held = HoldRows();
  // Where each target of the list before went; the held ones are found by it.
  std::vector<std::size_t> moved(row_of_.size(), kHidden);
  for (std::size_t i = 0; previous != nullptr && i < previous->size(); ++i) {
    if ((*previous)[i] < moved.size()) {
      moved[(*previous)[i]] = i;
    }
  }
  targets_ = &targets;
  lower_hosts_.clear();
  lower_hosts_.reserve(targets.size());
  for (const auto& target : targets) {
    lower_hosts_.push_back(AsciiLower(target->host));
  }
  UpdateHostKeys(/*always=*/true);
  shown_.clear();
  sorted_ = SortedOrder();
  SetOrder(Filtered(sorted_));
  Restore(held, &moved);
  Refresh();
}

void TargetListCtrl::SetFilter(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(' ');
  const std::string filter =
      begin == std::string::npos
          ? std::string()
          : AsciiLower(text.substr(begin, text.find_last_not_of(' ') + 1 - begin));
  if (filter == filter_) {
    return;
  }
  filter_ = filter;
  if (targets_ != nullptr) {
    ApplyOrder();
    Refresh();
  }
}

bool TargetListCtrl::UpdateHostKeys(bool always) {
  const std::size_t count = targets_->size();
  bool changed = always || keyed_resolved_.size() != count;
  for (std::size_t i = 0; i < count && !changed; ++i) {
    changed = keyed_resolved_[i] != (*targets_)[i]->resolved.load();
  }
  if (!changed) {
    return false;
  }
  std::vector<std::string> hosts;
  hosts.reserve(count);
  keyed_resolved_.clear();
  for (const auto& target : *targets_) {
    hosts.push_back(target->host);
    keyed_resolved_.push_back(target->resolved.load());
  }
  host_keys_ = HostSortKeys(hosts, keyed_resolved_);
  return true;
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
  if (targets_ == nullptr) {
    return;
  }
  shown_.clear();
  const bool rekeyed = UpdateHostKeys(false);
  if (sort_.column && (*sort_.column != Column::kHost || rekeyed)) {
    sorted_ = SortedOrder();
  }
  // Also unsorted: the rows under a state word follow the states.
  ApplyOrder();
  long first = 0;
  long last = 0;
  if (VisibleRows(&first, &last)) {
    RefreshItems(first, last);
  }
}

std::vector<std::size_t> TargetListCtrl::SortedOrder() const {
  if (!sort_.column) {
    std::vector<std::size_t> order(targets_->size());
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

std::vector<std::size_t> TargetListCtrl::Filtered(const std::vector<std::size_t>& sorted) const {
  if (filter_.empty()) {
    return sorted;
  }
  std::array<bool, StateBoard::kStateCount> state_words{};
  for (std::size_t state = 0; board_ != nullptr && state < state_words.size(); ++state) {
    // Folded as the filter is: "up" finds the English "Up".
    state_words[state] =
        AsciiLower(StateText(static_cast<HostState>(state))).find(filter_) != std::string::npos;
  }
  std::vector<std::size_t> rows;
  rows.reserve(sorted.size());
  for (std::size_t target : sorted) {
    if (lower_hosts_[target].find(filter_) != std::string::npos ||
        (board_ != nullptr && state_words[static_cast<std::size_t>(board_->state(target))])) {
      rows.push_back(target);
    }
  }
  return rows;
}

void TargetListCtrl::ShowRows(std::vector<std::size_t> order) {
  if (order == order_) {
    return;
  }
  const Held held = HoldRows();
  SetOrder(std::move(order));
  Restore(held, nullptr);
}

void TargetListCtrl::SetOrder(std::vector<std::size_t> order) {
  order_ = std::move(order);
  row_of_.assign(targets_->size(), kHidden);
  for (std::size_t row = 0; row < order_.size(); ++row) {
    row_of_[order_[row]] = row;
  }
  if (static_cast<std::size_t>(GetItemCount()) != order_.size()) {
    SetItemCount(static_cast<long>(order_.size()));
    Refresh();
  }
}

TargetListCtrl::Held TargetListCtrl::HoldRows() const {
  Held held;
  long first = 0;
  long last = 0;
  if (order_.empty() || !VisibleRows(&first, &last)) {
    return held;
  }
  held.any = true;
  // Every row: no need to ask the list for each one.
  if (GetSelectedItemCount() == GetItemCount()) {
    held.selected = order_;
  } else {
    for (long row = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); row != -1;
         row = GetNextItem(row, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
      held.selected.push_back(TargetAt(row));
    }
  }
  const long focused = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
  if (focused >= 0 && static_cast<std::size_t>(focused) < order_.size()) {
    held.focused = TargetAt(focused);
  }
  // The focused row if on screen, else the top one.
  const long anchor = focused >= first && focused <= last ? focused : first;
  held.anchor = TargetAt(anchor);
  held.anchor_offset = anchor - first;
  return held;
}

void TargetListCtrl::Restore(const Held& held, const std::vector<std::size_t>* moved) {
  if (!held.any) {
    return;
  }
  const auto row_now = [this, moved](std::size_t target) {
    if (moved != nullptr) {
      target = target < moved->size() ? (*moved)[target] : kHidden;
    }
    return target == kHidden ? kHidden : row_of_[target];
  };
  std::vector<long> rows;
  for (std::size_t target : held.selected) {
    if (const std::size_t row = row_now(target); row != kHidden) {
      rows.push_back(static_cast<long>(row));
    }
  }
  if (!rows.empty() && rows.size() == order_.size()) {
    SetItemState(-1, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  } else {
    SetItemState(-1, 0, wxLIST_STATE_SELECTED);
    // In ascending order each one is appended to the list's selection store.
    std::sort(rows.begin(), rows.end());
    for (long row : rows) {
      SetItemState(row, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    }
  }
  const std::size_t focused = held.focused == kHidden ? kHidden : row_now(held.focused);
  const long list_focus = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
  if (focused != kHidden) {
    SetItemState(static_cast<long>(focused), wxLIST_STATE_FOCUSED, wxLIST_STATE_FOCUSED);
  } else if (list_focus >= 0) {
    SetItemState(list_focus, 0, wxLIST_STATE_FOCUSED);
  }
  const std::size_t anchor = row_now(held.anchor);
  if (anchor == kHidden) {
    return;
  }
  const long top = std::max(0L, static_cast<long>(anchor) - held.anchor_offset);
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
  if (targets_ != nullptr) {
    sorted_ = SortedOrder();
    ApplyOrder();
  }
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
