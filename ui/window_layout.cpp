#include "ui/window_layout.h"

#include <wx/config.h>

#include "ui/lumoret_settings.h"
#include "ui/target_list_ctrl.h"

namespace {

// The groups of the window's geometry and of the list.
const char kWindowGroup[] = "/Window/";
const char kListGroup[] = "/List/";
// The list's keys: "Width" and the column's position; the sort.
const char kWidthKey[] = "Width";
const char kSortColumnKey[] = "SortColumn";
const char kSortDescendingKey[] = "SortDescending";
// The geometry field that is never kept: a window that was minimised comes back shown.
const char kIconizedField[] = "Iconized";
// Sizes beyond any screen; coordinates as far the other way; the toolkit itself checks
// that a corner lies on a screen.
constexpr SettingRange kSizeRange{1, 32767};
constexpr SettingRange kCoordinateRange{-32768, 32767};
constexpr SettingRange kWidthRange{0, 10000};
// The sort column's position, or -1 for none.
constexpr SettingRange kSortColumnRange{-1, kColumnCount - 1};
// No sort column kept.
constexpr long kUnsorted = -1;

// The range a geometry field is checked against.
SettingRange FieldRange(const wxString& name) {
  if (name == "w" || name == "h") {
    return kSizeRange;
  }
  if (name == "Maximized") {
    return SettingRange{0, 1};
  }
  return kCoordinateRange;
}

std::string WidthKey(int column) {
  return kListGroup + std::string(kWidthKey) + std::to_string(column);
}

}  // namespace

void WindowLayout::Save(const wxTopLevelWindow& window, const TargetListCtrl& list) {
  window.SaveGeometry(*this);
  for (int column = 0; column < list.GetColumnCount(); ++column) {
    config_.Write(WidthKey(column), static_cast<long>(list.GetColumnWidth(column)));
  }
  const SortState& sort = list.sort_state();
  config_.Write(kListGroup + std::string(kSortColumnKey),
                sort.column ? static_cast<long>(ColumnIndex(*sort.column)) : kUnsorted);
  config_.Write(kListGroup + std::string(kSortDescendingKey), sort.descending);
}

void WindowLayout::Restore(wxTopLevelWindow& window, TargetListCtrl& list,
                           std::vector<std::string>* problems) {
  problems_ = problems;
  // The toolkit grows a restored size to the best one, which for this window is the width
  // of every column: a window the user made narrower would come back wide.
  window.CacheBestSize(wxSize(kSizeRange.low, kSizeRange.low));
  window.RestoreToGeometry(*this);
  window.InvalidateBestSize();
  problems_ = nullptr;
  for (int column = 0; column < list.GetColumnCount(); ++column) {
    const long width =
        ReadNumber(config_, WidthKey(column), kWidthRange, list.GetColumnWidth(column), problems);
    list.SetColumnWidth(column, static_cast<int>(width));
  }
  SortState sort;
  const long column = ReadNumber(config_, kListGroup + std::string(kSortColumnKey),
                                 kSortColumnRange, kUnsorted, problems);
  if (column != kUnsorted) {
    sort.column = static_cast<Column>(column);
    sort.descending =
        ReadSwitch(config_, kListGroup + std::string(kSortDescendingKey), false, problems);
  }
  list.SetSortState(sort);
}

bool WindowLayout::SaveField(const wxString& name, int value) const {
  if (name == kIconizedField) {
    return true;
  }
  return config_.Write(kWindowGroup + name, static_cast<long>(value));
}

bool WindowLayout::RestoreField(const wxString& name, int* value) {
  if (name == kIconizedField) {
    return false;
  }
  // A bad value is told and left out, as if it were missing.
  const std::optional<long> read = ReadCheckedNumber(
      config_, kWindowGroup + name.utf8_string(), FieldRange(name), "the window's own", problems_);
  if (read) {
    *value = static_cast<int>(*read);
  }
  return read.has_value();
}
