// Lets tests read the rows of a program they cannot link with, such as the installed
// binary: loaded into it through GTK_MODULES, it writes the cells of every list in the
// window titled "Lumoret" to the file named by LUMORET_ROWS, once a second, one line a
// row, cells separated by tabs; and the column titles to LUMORET_TITLES, a line a list, the
// same way. GTK loads the module during the toolkit's start, and
// wxWidgets then finds the module class below among its own.
#include <wx/listctrl.h>
#include <wx/module.h>
#include <wx/timer.h>
#include <wx/toplevel.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kIntervalMs = 1000;

// The titles of a list's columns, tab-separated.
std::string TitleLine(const wxListCtrl& list) {
  std::string line;
  for (int column = 0; column < list.GetColumnCount(); ++column) {
    wxListItem item;
    item.SetMask(wxLIST_MASK_TEXT);
    list.GetColumn(column, item);
    line += (column > 0 ? "\t" : "") + item.GetText().utf8_string();
  }
  return line + '\n';
}

// The rows of every list in window, or their titles.
void AppendRows(const wxWindow* window, bool titles, std::string* out) {
  for (const wxWindow* child : window->GetChildren()) {
    if (const auto* list = dynamic_cast<const wxListCtrl*>(child); list && titles) {
      *out += TitleLine(*list);
    } else if (list) {
      for (long row = 0; row < list->GetItemCount(); ++row) {
        for (int column = 0; column < list->GetColumnCount(); ++column) {
          *out += (column > 0 ? "\t" : "") + list->GetItemText(row, column).utf8_string();
        }
        *out += '\n';
      }
    }
    AppendRows(child, titles, out);
  }
}

// Written whole and renamed into place, so a reader never sees half a table.
void WriteRows(const char* path, bool titles) {
  std::string rows;
  for (const wxWindow* window : wxTopLevelWindows) {
    if (window->GetLabel() == "Lumoret") {
      AppendRows(window, titles, &rows);
    }
  }
  const std::string temporary = std::string(path) + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) {
    return;
  }
  const bool written = std::fwrite(rows.data(), 1, rows.size(), file) == rows.size();
  if (std::fclose(file) == 0 && written) {
    std::rename(temporary.c_str(), path);
  }
}

class RowTimer : public wxTimer {
 public:
  void Notify() override {
    if (const char* path = std::getenv("LUMORET_ROWS")) {
      WriteRows(path, false);
    }
    if (const char* path = std::getenv("LUMORET_TITLES")) {
      WriteRows(path, true);
    }
  }
};

class RowProbeModule : public wxModule {
 public:
  bool OnInit() override { return timer_.Start(kIntervalMs); }
  void OnExit() override { timer_.Stop(); }

 private:
  RowTimer timer_;  // fires on the GUI thread, in whatever loop runs

  wxDECLARE_DYNAMIC_CLASS(RowProbeModule);
};

wxIMPLEMENT_DYNAMIC_CLASS(RowProbeModule, wxModule);

}  // namespace

// GTK requires the entry point; wxWidgets does the rest.
extern "C" void gtk_module_init(int* /*argc*/, char*** /*argv*/) {}
