#ifndef LUMORET_UI_LUMORET_SETTINGS_H
#define LUMORET_UI_LUMORET_SETTINGS_H

#include "engine/host_state.h"

// What the user sets in the settings dialog (设置): how a row's state is judged, how it
// is told, and where the window goes. Kept between starts.
struct LumoretSettings {
  HostStateRules rules;           // when a host is down or lossy
  bool alerts = true;             // a desktop notification when hosts go down or come back
  bool sound = false;             // and a sound with it
  bool tray_icon = true;          // an icon in the desktop's tray, where it has one
  bool minimise_to_tray = false;  // minimising hides the window in the tray
};

#endif  // LUMORET_UI_LUMORET_SETTINGS_H
