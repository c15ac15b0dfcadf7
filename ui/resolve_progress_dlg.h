#ifndef LUMORET_UI_RESOLVE_PROGRESS_DLG_H
#define LUMORET_UI_RESOLVE_PROGRESS_DLG_H

#include <wx/dialog.h>
#include <wx/stattext.h>
#include <wx/timer.h>

class NameResolver;

// Shown while start-up waits for slow names: how many are done out of how many, and
// which one is being waited for. Its modal loop ends with wxID_OK when every name is
// settled; Cancel ends it with wxID_CANCEL, and the caller gives up on the rest.
class CResolveProgressDlg : public wxDialog {
 public:
  static constexpr int kTimerId = 1;

  explicit CResolveProgressDlg(NameResolver& names);

  wxStaticText* count_text;    // "Resolving host names: 3 of 20 done"
  wxStaticText* waiting_text;  // the name waited for

 private:
  void OnTimer(wxTimerEvent& event);
  void Update();

  NameResolver& names_;  // the look-ups shown
  wxTimer timer_;        // polls names_
};

#endif  // LUMORET_UI_RESOLVE_PROGRESS_DLG_H
