#ifndef LUMORET_UI_LUMORET_DLG_H
#define LUMORET_UI_LUMORET_DLG_H

#include <wx/dialog.h>
#include <wx/icon.h>
#include <wx/timer.h>

#include <string>

class DelayTimeMgr;
class TargetListCtrl;

// The main window: one report list, a row per target, refreshed every second from the
// engine's statistics. Its initialisation creates and starts the engine.
class CLumoretDlg : public wxDialog {
 public:
  static constexpr int kListId = 1000;
  static constexpr int kTimerId = 1234;
  static constexpr unsigned kAboutCommand = 0x10;
  static constexpr unsigned kHelpCommand = 0x20;

  explicit CLumoretDlg(wxWindow* parent = nullptr);
  ~CLumoretDlg() override;

  // The engine this window created and started; null when it could not be created, so
  // that shutdown never brings one into being just to stop it.
  DelayTimeMgr* manager() const { return manager_; }
  // Why the engine could not be created or started, with the remedy; empty otherwise.
  const std::string& startup_error() const { return startup_error_; }

  // Initialises the window before it first appears, so that the engine exists and the
  // rows are filled by then (the toolkit would map the window first); a window whose
  // engine could not start never appears.
  bool Show(bool show = true) override;

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
  void ShowWorkerError();
  void OnAbortTimer(wxTimerEvent& event);

  static constexpr int kAbortTimerId = 1235;
  wxTimer timer_;
  wxTimer abort_timer_;  // ends the modal loop when the engine could not start
  int abort_ticks_ = 0;
  bool initialised_ = false;
  DelayTimeMgr* manager_ = nullptr;
  std::string startup_error_;
  bool worker_error_shown_ = false;

  wxDECLARE_EVENT_TABLE();
};

#endif  // LUMORET_UI_LUMORET_DLG_H
