#include "ui/lumoret_tray_icon.h"

#include <wx/menu.h>
#include <wx/toplevel.h>

#include "ui/lumoret_dlg.h"
#include "ui/state_glyphs.h"
#include "ui/translations.h"

LumoretTrayIcon::LumoretTrayIcon(wxTopLevelWindow& window) : window_(window) {
  Bind(wxEVT_MENU, &LumoretTrayIcon::OnMenu, this);
  // A click on the icon brings the window back, as in other programs' trays.
  Bind(wxEVT_TASKBAR_LEFT_DOWN, [this](wxTaskBarIconEvent&) { ShowWindow(); });
}

LumoretTrayIcon::~LumoretTrayIcon() {
  RemoveIcon();
}

void LumoretTrayIcon::ShowState(HostState worst, const wxString& text) {
  if (shown_state_ == worst && tooltip_ == text) {
    return;
  }
  // Drawing the badge costs more than the tooltip: only when the state changes.
  if (shown_state_ != worst) {
    icon_ = BadgedAppIcon(worst);
    shown_state_ = worst;
  }
  tooltip_ = text;
  SetIcon(icon_, tooltip_);
}

void LumoretTrayIcon::ShowWindow() {
  window_.Show();
  if (window_.IsIconized()) {
    window_.Iconize(false);
  }
  window_.Raise();
}

wxMenu* LumoretTrayIcon::CreatePopupMenu() {
  auto* menu = new wxMenu;
  menu->Append(kShowCommand, _("显示窗口(&W)"));
  menu->Append(CLumoretDlg::kOutageLogCommand, _("中断记录(&L)..."));
  menu->Append(CLumoretDlg::kSettingsCommand, _("设置(&S)..."));
  menu->AppendSeparator();
  menu->Append(wxID_EXIT, _("退出(&X)"));
  return menu;
}

void LumoretTrayIcon::OnMenu(wxCommandEvent& event) {
  switch (event.GetId()) {
    case kShowCommand:
      ShowWindow();
      break;
    case CLumoretDlg::kOutageLogCommand:
    case CLumoretDlg::kSettingsCommand:
      // The window opens them, as from its own menu.
      wxPostEvent(&window_, wxCommandEvent(wxEVT_MENU, event.GetId()));
      break;
    case wxID_EXIT:
      // As the close box does: the window's close handler ends Lumoret.
      window_.Close();
      break;
    default:
      event.Skip();
      break;
  }
}
