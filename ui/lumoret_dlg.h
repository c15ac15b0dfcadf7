#ifndef LUMORET_UI_LUMORET_DLG_H
#define LUMORET_UI_LUMORET_DLG_H

#include <wx/dialog.h>
#include <wx/icon.h>
#include <wx/listctrl.h>
#include <wx/timer.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/state_board.h"
#include "platform/platform.h"
#include "ui/alert_notifier.h"
#include "ui/background_job.h"
#include "ui/lumoret_settings.h"

class CHostDetailsDlg;
class COutageLogDlg;
class DelayTarget;
class DelayTimeMgr;
class HistoryStore;
class HostListEditor;
class LumoretTrayIcon;
class MetricsEndpoint;
class TargetListCtrl;
class wxEventLoopBase;
class wxGenericStaticText;
class wxInfoBarGeneric;
class wxTextCtrl;

// The main window: a view over the engine, one report list with a row per target,
// refreshed every second from the engine's statistics. Its initialisation starts the
// engine.
class CLumoretDlg : public wxDialog {
 public:
  static constexpr int kListId = 1000;                // the target list's window id
  static constexpr int kTimerId = 1234;               // the refresh timer's id
  static constexpr int kHelpTimerId = 1235;           // the help viewer watch's timer id
  static constexpr unsigned kAboutCommand = 0x10;     // About, in the context (or window) menu
  static constexpr unsigned kHelpCommand = 0x20;      // Help, in the same menu and on F1
  static constexpr int kDetailsCommand = 0x30;        // the context menu's Details
  static constexpr int kExportCommand = 0x40;         // the context menu's CSV export
  static constexpr int kHistoryExportCommand = 0x50;  // the context menu's history export
  static constexpr int kOutageLogCommand = 0x60;    // the outage log, from menus and the status bar
  static constexpr int kSettingsCommand = 0x70;     // the settings dialog
  static constexpr int kAddHostsCommand = 0x80;     // 添加主机, from the menu or Insert
  static constexpr int kDeleteHostsCommand = 0x90;  // 删除, from the menu or Delete
  static constexpr int kEditHostCommand = 0xA0;     // 编辑, from the menu or F2
  static constexpr int kResolveAgainCommand = 0xB0;  // 重新解析, the selected rows' names
  static constexpr int kFilterId = 1001;             // the filter box above the list

  explicit CLumoretDlg(DelayTimeMgr& manager, wxWindow* parent = nullptr);
  ~CLumoretDlg() override;

  // The engine this window shows.
  DelayTimeMgr* manager() const { return manager_; }
  // Shows the window and runs the program's event loop until the window is closed (its
  // close box, Esc, Enter, or Close()); returns wxID_OK for Enter, else wxID_CANCEL. Not
  // modal: a modal window would keep the details windows beside it from all input.
  int Run();

  void OnInitDialog(wxInitDialogEvent& event);
  void OnTimer(wxTimerEvent& event);
  // The Help and About commands, from the context menu or F1.
  void OnSysCommand(unsigned id);
  void OnSize(wxSizeEvent& event);
  // Places the children; the notice bar calls it when it comes and goes.
  bool Layout() override;
  // Shows the details of the target at that position in config.ini, raising its window
  // when one is open already.
  CHostDetailsDlg* OpenDetails(std::size_t target);
  // Shows text in the notice bar at the top, replacing what it said; a warning unless
  // icon says otherwise (wxICON_INFORMATION).
  void ShowNotice(const std::string& text, int icon = wxICON_WARNING);
  // Writes every row shown (while a filter is typed, its rows alone), in the order on
  // screen, as CSV to path; the system's error if not.
  std::error_code ExportTo(const wxString& path) const;
  // The same, and a message box with the whole name and the reason when it fails.
  void SaveCsv(const wxString& path);

  TargetListCtrl* target_list = nullptr;  // the report list, a row per target
  wxTextCtrl* filter_box = nullptr;       // above the list: narrows its rows as one types
  wxRect client_rect;                     // of the latest size event
  wxIcon icon;                            // the program's icon, in the title bar
  // Under the list: the rows per state; a click opens the outage log.
  wxGenericStaticText* status_bar = nullptr;
  // The history store the details windows and the history export read; null without
  // one. Set before the window shows; it must outlive the window.
  HistoryStore* history = nullptr;
  // The user's settings; set before the window shows, then changed by the settings dialog.
  LumoretSettings settings;
  // Where the window serves its figures to Prometheus (--metrics-listen); empty: nowhere.
  // Set before the window shows.
  std::string metrics_listen;

  // Puts changed settings to work: the state rules, alerts and the tray icon.
  void ApplySettings();
  // Shows a change the engine's list went through (previous as ChangeTargets returned
  // it): rows, states, open details windows, the selection and the history follow
  // their hosts; rows of removed hosts go.
  void ApplyTargetChange(const std::vector<std::size_t>& previous);
  // Every row's state; null until the window is initialised.
  StateBoard* state_board() const { return board_.get(); }
  // The state changes of the latest refresh.
  const std::vector<StateBoard::Change>& last_changes() const { return last_changes_; }
  // The icon in the desktop's tray; null without one.
  LumoretTrayIcon* tray_icon() const { return tray_.get(); }

 private:
  using DetailsList = std::vector<std::pair<std::size_t, CHostDetailsDlg*>>;

  void OnMenuCommand(wxCommandEvent& event);
  void OnContextMenu(wxContextMenuEvent& event);
  void OnCharHook(wxKeyEvent& event);
  // The command of a key pressed in the list (Insert, Delete, F2); 0 for others.
  int ListKeyCommand(const wxKeyEvent& event) const;
  // Puts the notice bar, when it shows, at the top, the filter box under it, the status
  // bar at the bottom and the list between them.
  void PlaceChildren();
  // Narrows the rows to the filter box's text.
  void OnFilterText(wxCommandEvent& event);
  // The counts in the status bar and the tray, where they changed.
  void ShowStates();
  // Hides the window in the tray when it is minimised and the settings say so; places
  // the children again when it comes back.
  void OnIconize(wxIconizeEvent& event);
  // Posts the outage log command, as a click on the status bar does.
  void OnStatusClick(wxMouseEvent& event);
  // Says in the bar that this computer drops replies, and how to raise its buffer.
  void ShowKernelDrops(std::uint32_t count);
  // The open details window of target, or details_.end().
  DetailsList::iterator FindDetails(std::size_t target);
  // Drops a details window that is closing from the list of open ones.
  void ForgetDetails(const CHostDetailsDlg* window);
  // Where a new details window of size goes, so that it does not cover the others.
  wxPoint CascadePosition(const wxSize& size) const;
  void OnClose(wxCloseEvent& event);
  // Hides the window, its layout kept, and ends the loop of Run, if it runs, with code.
  void Finish(int code);
  // Keeps the window's place and size, column widths and sort in the config, if one is
  // set, and saves it at once.
  void SaveLayout();
  // Gives the window and its list the layout the config kept, if any.
  void RestoreLayout();
  void OnCopy(wxCommandEvent& event);
  void OnSelectAll(wxCommandEvent& event);
  void OnDetails(wxCommandEvent& event);
  void OnRowActivated(wxListEvent& event);
  void OnExport(wxCommandEvent& event);
  // Every host's history over a range the user picks, as CSV.
  void OnExportHistory(wxCommandEvent& event);
  // Shows the outage log window, raising it when open.
  void OnOutageLog(wxCommandEvent& event);
  // The settings dialog; applies and keeps what it returns.
  void OnSettings(wxCommandEvent& event);
  // Hosts typed or pasted into a dialog, put at the end of the list and config.ini.
  void OnAddHosts(wxCommandEvent& event);
  // The selected rows' hosts out of the list and config.ini, asked first above a few.
  void OnDeleteHosts(wxCommandEvent& event);
  // The current row's host text changed in a dialog: a new target in its place.
  void OnEditHost(wxCommandEvent& event);
  // The selected rows' names looked up again at once.
  void OnResolveAgain(wxCommandEvent& event);
  // The targets of the selected rows, in row order.
  std::vector<const DelayTarget*> SelectedTargets() const;
  void ShowWorkerError(const std::string& error);
  // Starts the viewer on ReadMe.txt and watches whether it comes up.
  void OpenHelp();
  // Says so, with the file's path, when the viewer could not be started.
  void OnHelpTimer(wxTimerEvent& event);
  // Starts serving the figures on metrics_listen, before the engine starts; the notice
  // bar says why not when it cannot.
  void StartMetrics();

  wxTimer timer_;                           // the refresh, every second
  wxTimer help_timer_;                      // watches the help viewer's opener
  platform::HelpOpener help_opener_;        // the latest opener, while it is watched
  int help_ticks_ = 0;                      // turns of help_timer_ since it was started
  DelayTimeMgr* manager_;                   // the engine shown, built before the window
  wxEventLoopBase* loop_ = nullptr;         // the loop of Run while it runs
  bool worker_error_shown_ = false;         // the engine's end was told once
  DetailsList details_;                     // open details windows with their targets, oldest first
  wxInfoBarGeneric* notice_bar_ = nullptr;  // dropped replies, history trouble, exports
  bool kernel_drops_told_ = false;          // the bar has come up once
  BackgroundJob history_export_;            // reads the history export off this thread
  COutageLogDlg* outage_log_ = nullptr;     // the outage log window while it is open
  std::unique_ptr<StateBoard> board_;       // the rows' states, judged at each refresh
  std::vector<StateBoard::Change> last_changes_;  // what the latest refresh changed
  std::unique_ptr<LumoretTrayIcon> tray_;        // in the desktop's tray, when set and there is one
  bool hidden_in_tray_ = false;                  // minimised into the tray, not shown
  AlertNotifier alerts_;                         // tells the desktop of hosts down and back
  std::unique_ptr<HostListEditor> host_editor_;  // changes the hosts with config.ini
#ifdef LUMORET_METRICS
  std::unique_ptr<MetricsEndpoint> metrics_;  // serves Prometheus; null unless asked for
#endif

  wxDECLARE_EVENT_TABLE();
};

#endif  // LUMORET_UI_LUMORET_DLG_H
