#include "ui/outage_log_list.h"
#include "ui/translations.h"

#include <wx/clipbrd.h>
#include <wx/dataobj.h>

#include <algorithm>

OutageLogList::OutageLogList(wxWindow* parent, wxWindowID id)
    : wxListCtrl(parent, id, wxDefaultPosition, wxDefaultSize,
                 wxLC_REPORT | wxLC_VIRTUAL | wxLC_HRULES | wxLC_VRULES) {
  for (int column = 0; column < kLogColumnCount; ++column) {
    InsertColumn(column, _(kLogColumns[column].title), wxLIST_FORMAT_LEFT,
                 FromDIP(kLogColumns[column].width));
  }
  ShowSortIndicator(static_cast<int>(sort_.column), !sort_.descending);
  Bind(wxEVT_LIST_COL_CLICK, &OutageLogList::OnColumnClick, this);
}

void OutageLogList::SetEntries(std::vector<LogEntry> entries, std::vector<std::size_t> order,
                               LogSort sorted_by) {
  // The user clicked a title while the log was being read.
  if (sorted_by != sort_) {
    order = SortedLog(entries, sort_);
  }
  const Held held = Hold();
  entries_ = std::move(entries);
  order_ = std::move(order);
  Restore(held);
}

wxString OutageLogList::OnGetItemText(long item, long column) const {
  if (item < 0 || static_cast<std::size_t>(item) >= order_.size() || column < 0 ||
      column >= kLogColumnCount) {
    return wxString();
  }
  return wxString::FromUTF8(LogRow(EntryAt(item))[static_cast<std::size_t>(column)]);
}

OutageLogList::Held OutageLogList::Hold() const {
  Held held;
  const long count = GetItemCount();
  held.all_selected = count > 0 && GetSelectedItemCount() == count;
  for (long row = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
       row != -1 && !held.all_selected;
       row = GetNextItem(row, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
    held.selected.insert(EntryAt(row).id);
  }
  const long focused = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
  if (focused >= 0 && focused < count) {
    held.focused = EntryAt(focused).id;
  }
  // At the top the new entries come into view; further down the rows on screen stay,
  // the focused one if it is among them.
  const long top = count > 0 ? std::clamp(GetTopItem(), 0L, count - 1) : 0;
  if (top > 0) {
    const long anchor =
        focused >= top && focused <= top + GetCountPerPage() && focused < count ? focused : top;
    held.anchor = EntryAt(anchor).id;
    held.anchor_offset = anchor - top;
  }
  return held;
}

void OutageLogList::Restore(const Held& held) {
  SetItemState(-1, 0, wxLIST_STATE_SELECTED);
  SetItemCount(static_cast<long>(order_.size()));
  long anchor_row = -1;
  std::vector<long> rows;
  for (std::size_t at = 0; at < order_.size(); ++at) {
    const std::int64_t id = entries_[order_[at]].id;
    const long row = static_cast<long>(at);
    if (!held.selected.empty() && held.selected.count(id) > 0) {
      rows.push_back(row);
    }
    if (held.focused == id) {
      SetItemState(row, wxLIST_STATE_FOCUSED, wxLIST_STATE_FOCUSED);
    }
    if (held.anchor == id) {
      anchor_row = row;
    }
  }
  if (held.all_selected) {
    SelectAll();
  }
  // In ascending order each one is appended to the list's selection store.
  for (long row : rows) {
    SetItemState(row, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  }
  wxRect line;
  if (anchor_row >= 0 && GetItemRect(0, line)) {
    const long top = std::max(0L, anchor_row - held.anchor_offset);
    ScrollList(0, (top - GetTopItem()) * line.height);
  }
  Refresh();
}

std::vector<LogEntry> OutageLogList::ShownEntries() const {
  std::vector<LogEntry> shown;
  shown.reserve(order_.size());
  for (std::size_t at : order_) {
    shown.push_back(entries_[at]);
  }
  return shown;
}

void OutageLogList::OnColumnClick(wxListEvent& event) {
  if (event.GetColumn() < 0 || event.GetColumn() >= kLogColumnCount) {
    return;
  }
  sort_ = NextLogSort(sort_, static_cast<LogColumn>(event.GetColumn()));
  ShowSortIndicator(event.GetColumn(), !sort_.descending);
  const Held held = Hold();
  order_ = SortedLog(entries_, sort_);
  Restore(held);
}

void OutageLogList::SelectAll() {
  SetItemState(-1, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
}

std::string OutageLogList::SelectedText() const {
  std::vector<LogRowTexts> rows;
  for (long row = GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); row != -1;
       row = GetNextItem(row, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
    rows.push_back(LogRow(EntryAt(row)));
  }
  return LogTabSeparated(rows);
}

void OutageLogList::CopySelection() {
  if (GetSelectedItemCount() == 0) {
    return;
  }
  wxClipboardLocker clipboard;
  if (!clipboard) {
    return;  // another program holds it; the next Ctrl+C tries again
  }
  wxTheClipboard->SetData(new wxTextDataObject(wxString::FromUTF8(SelectedText())));
}
