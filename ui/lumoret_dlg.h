#ifndef LUMORET_UI_LUMORET_DLG_H
#define LUMORET_UI_LUMORET_DLG_H

#include <wx/dialog.h>
#include <wx/icon.h>
#include <wx/timer.h>

#include <string>

class DelayTimeMgr;
class TargetListCtrl;

// The main window: a view over the engine, one report list with a row per target,
// refreshed every second from the engine's statistics. Its initialisation starts the
// engine.
class CLumoretDlg : public wxDialog {
 public:
  static constexpr int kListId = 1000;
  static constexpr int kTimerId = 1234;
  static constexpr unsigned kAboutCommand = 0x10;
  static constexpr unsigned kHelpCommand = 0x20;

  explicit CLumoretDlg(DelayTimeMgr& manager, wxWindow* parent = nullptr);
  ~CLumoretDlg() override;

  // The engine this window shows.
  DelayTimeMgr* manager() const { return manager_; }

  void OnInitDialog(wxInitDialogEvent& event);
  void OnTimer(wxTimerEvent& event);
  // The Help and About commands, from the context menu or F1.
  void OnSysCommand(unsigned id);
  void OnSize(wxSizeEvent& event);

  TargetListCtrl* target_list = nullptr;
  wxRect client_rect;  // of the latest size event
  wxIcon icon;

 private:
  void OnMenuCommand(wxCommandEvent& event);
  void OnContextMenu(wxContextMenuEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnCopy(wxCommandEvent& event);
  void OnSelectAll(wxCommandEvent& event);
  void ShowWorkerError(const std::string& error);

  wxTimer timer_;
  DelayTimeMgr* manager_;  // the engine shown, built before the window
  bool worker_error_shown_ = false;

  wxDECLARE_EVENT_TABLE();
};

#endif  // LUMORET_UI_LUMORET_DLG_H
