#ifndef LUMORET_UI_LUMORET_DLG_H
#define LUMORET_UI_LUMORET_DLG_H

#include <wx/dialog.h>
#include <wx/icon.h>
#include <wx/listctrl.h>
#include <wx/timer.h>

#include <cstddef>
#include <map>
#include <string>
#include <system_error>

class CHostDetailsDlg;
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
  static constexpr int kDetailsCommand = 0x30;
  static constexpr int kExportCommand = 0x40;

  explicit CLumoretDlg(DelayTimeMgr& manager, wxWindow* parent = nullptr);
  ~CLumoretDlg() override;

  // The engine this window shows.
  DelayTimeMgr* manager() const { return manager_; }

  void OnInitDialog(wxInitDialogEvent& event);
  void OnTimer(wxTimerEvent& event);
  // The Help and About commands, from the context menu or F1.
  void OnSysCommand(unsigned id);
  void OnSize(wxSizeEvent& event);
  // Shows the details of the target at that position in config.ini, raising its window
  // when one is open already.
  CHostDetailsDlg* OpenDetails(std::size_t target);
  // Writes every row, in the order on screen, as CSV to path; the system's error if not.
  std::error_code ExportTo(const wxString& path) const;

  TargetListCtrl* target_list = nullptr;
  wxRect client_rect;  // of the latest size event
  wxIcon icon;

 private:
  void OnMenuCommand(wxCommandEvent& event);
  void OnContextMenu(wxContextMenuEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnCopy(wxCommandEvent& event);
  void OnSelectAll(wxCommandEvent& event);
  void OnDetails(wxCommandEvent& event);
  void OnRowActivated(wxListEvent& event);
  void OnExport(wxCommandEvent& event);
  void ShowWorkerError(const std::string& error);

  wxTimer timer_;
  DelayTimeMgr* manager_;  // the engine shown, built before the window
  bool worker_error_shown_ = false;
  std::map<std::size_t, CHostDetailsDlg*> details_;  // open details windows, by target

  wxDECLARE_EVENT_TABLE();
};

#endif  // LUMORET_UI_LUMORET_DLG_H
