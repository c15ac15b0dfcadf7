#ifndef LUMORET_UI_WINDOW_LAYOUT_H
#define LUMORET_UI_WINDOW_LAYOUT_H

#include <wx/toplevel.h>

#include <string>
#include <vector>

class TargetListCtrl;
class wxConfigBase;

// The main window's layout between starts, in the user's settings: its place, size and
// maximised state (the toolkit's own geometry, with its check that a corner lies on a
// screen), the list's column widths and its sort. Not the persistence manager: that
// saves when the window is destroyed, into a config it makes itself when none is set,
// and restores unchecked values and a minimised window.
class WindowLayout : private wxTopLevelWindow::GeometrySerializer {
 public:
  explicit WindowLayout(wxConfigBase& config) : config_(config) {}

  // Writes the layout of window and its list to the config (not saved yet).
  void Save(const wxTopLevelWindow& window, const TargetListCtrl& list);
  // Gives window and list the layout kept, if any; each bad value is left out, with a
  // line in problems.
  void Restore(wxTopLevelWindow& window, TargetListCtrl& list, std::vector<std::string>* problems);

 private:
  bool SaveField(const wxString& name, int value) const override;
  bool RestoreField(const wxString& name, int* value) override;

  wxConfigBase& config_;                          // where the layout is kept
  std::vector<std::string>* problems_ = nullptr;  // while Restore runs
};

#endif  // LUMORET_UI_WINDOW_LAYOUT_H
