#ifndef LUMORET_UI_MODAL_TRACKER_H
#define LUMORET_UI_MODAL_TRACKER_H

#include <wx/menu.h>
#include <wx/modalhook.h>
#include <wx/weakref.h>

#include <vector>

// The nested event loops open right now, innermost last: every modal dialog (the
// toolkit's file dialog and our message boxes included) and popup menus. A loop can only
// end while it is the innermost one, so a quit request closes them one at a time, from
// the inside out.
class ModalTracker : public wxModalDialogHook {
 public:
  // Registers itself for every ShowModal of the process.
  ModalTracker();

  // A popup menu's loop began or ended. Not every toolkit tells of the end: a menu
  // destroyed, or (wxGTK) no longer up, counts as closed too.
  void MenuOpened(wxMenu* menu);
  void MenuClosed(wxMenu* menu);
  // Asks the innermost loop to end; false when none is open. That loop ends once its
  // handler returns, and the next one is asked on the next call.
  bool EndInnermost();

 protected:
  int Enter(wxDialog* dialog) override;
  void Exit(wxDialog* dialog) override;

 private:
  // One nested loop: a modal dialog's or a popup menu's.
  struct Loop {
    wxDialog* dialog;        // null for a menu
    wxWeakRef<wxMenu> menu;  // null for a dialog, and once the menu is destroyed
  };
  // Forgets the innermost record of that loop.
  void Remove(const wxDialog* dialog, const wxMenu* menu);

  std::vector<Loop> open_;  // innermost last
};

#endif  // LUMORET_UI_MODAL_TRACKER_H
