#ifndef LUMORET_UI_SETTINGS_DLG_H
#define LUMORET_UI_SETTINGS_DLG_H

#include <wx/dialog.h>

#include "ui/lumoret_settings.h"

class wxCheckBox;
class wxSpinCtrl;

// The settings dialog (设置): the four state rules, alerts and the tray, and how often
// names are looked up again. Modal; Result() holds what the user set once it returns
// wxID_OK.
class CSettingsDlg : public wxDialog {
 public:
  CSettingsDlg(wxWindow* parent, const LumoretSettings& settings);

  // The settings as the controls show them.
  LumoretSettings Result() const;

  wxSpinCtrl* down_after_spin = nullptr;  // timeouts in a row that make an outage
  wxSpinCtrl* window_spin = nullptr;      // the recent probes judged
  wxSpinCtrl* loss_spin = nullptr;        // loss above this share is lossy, in %
  wxSpinCtrl* delay_spin = nullptr;       // a median delay above this is lossy, in ms
  wxCheckBox* alerts_check = nullptr;     // desktop notifications on down and up
  wxCheckBox* sound_check = nullptr;      // a sound with them
  wxCheckBox* tray_check = nullptr;       // an icon in the tray
  wxCheckBox* minimise_check = nullptr;   // minimising hides the window in the tray
  wxSpinCtrl* resolve_spin = nullptr;     // minutes between look-ups of every name, 0: never

 private:
  // A labelled spin control in range with value, in the grid of the rules.
  wxSpinCtrl* AddSpin(wxWindow* parent, wxSizer* grid, const char* label, SettingRange range,
                      long value);
  // Sound needs alerts, and minimising to the tray needs its icon.
  void UpdateDependents();

  LumoretSettings settings_;  // as given: what the dialog has no control for stays so
};

#endif  // LUMORET_UI_SETTINGS_DLG_H
