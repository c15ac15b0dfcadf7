#ifndef LUMORET_UI_LUMORET_TRAY_ICON_H
#define LUMORET_UI_LUMORET_TRAY_ICON_H

#include <wx/icon.h>
#include <wx/taskbar.h>

#include <optional>

#include "engine/host_state.h"

class wxTopLevelWindow;

// Lumoret in the desktop's tray: the program's icon marked with the worst state of the
// rows, the status bar's counts as its tooltip, and a menu to bring the main window
// back, open the outage log or the settings, and quit.
class LumoretTrayIcon : public wxTaskBarIcon {
 public:
  // The tray's own menu command.
  static constexpr int kShowCommand = 0x80;  // 显示窗口

  // An icon for window, the main window, which must outlive it; shown at the first
  // ShowState.
  explicit LumoretTrayIcon(wxTopLevelWindow& window);
  ~LumoretTrayIcon() override;

  // Shows worst and text, touching the tray only for what changed.
  void ShowState(HostState worst, const wxString& text);
  // Shows the main window, restored and on top.
  void ShowWindow();

  // Tooltip and icon as last given to the tray.
  const wxString& tooltip() const { return tooltip_; }
  std::optional<HostState> shown_state() const { return shown_state_; }

 protected:
  wxMenu* CreatePopupMenu() override;

 private:
  void OnMenu(wxCommandEvent& event);

  wxTopLevelWindow& window_;              // the main window
  std::optional<HostState> shown_state_;  // whose badge the icon shows; empty: none yet
  wxIcon icon_;                           // that icon, for a new tooltip
  wxString tooltip_;                      // the counts shown
};

#endif  // LUMORET_UI_LUMORET_TRAY_ICON_H
