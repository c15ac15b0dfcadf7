#ifndef LUMORET_UI_OUTAGE_LOG_DLG_H
#define LUMORET_UI_OUTAGE_LOG_DLG_H

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include "ui/background_job.h"

class HistoryStore;
class OutageLogList;

// The outage log beside the main window: every change of a host's state that the
// history store logged, newest first, kept across restarts. Modeless; it reads the log
// again every few seconds while open, off the GUI thread.
class COutageLogDlg : public wxDialog {
 public:
  // How often the log is read again: the store writes its changes every 5 s.
  static constexpr int kRefreshMs = 3000;
  // The most rows read: the log at the default budget holds 167,772 at most.
  static constexpr std::size_t kMaxRows = 200000;

  // Shows the log of history, which must outlive the window (null without a store);
  // on_closed runs when the user closes it.
  COutageLogDlg(wxWindow* parent, HistoryStore* history, std::function<void()> on_closed);

  // Reads the log again; the list follows when it has been read.
  void Reload();
  // Writes the log as shown, as CSV, to path; the system's error if not. Reads the list
  // as it stands.
  std::error_code ExportTo(const wxString& path) const;

  OutageLogList* log_list = nullptr;     // the log; null without a store
  wxStaticText* summary_text = nullptr;  // how many rows, or why there is no log
  wxButton* export_button = nullptr;     // exports the log as CSV
  int reads_shown = 0;                   // reads of the log shown so far

 private:
  void AddList(wxSizer* sizer);
  void OnTimer(wxTimerEvent& event);
  void OnExport(wxCommandEvent& event);
  void OnContextMenu(wxContextMenuEvent& event);
  void OnClose(wxCloseEvent& event);
  // Shows what a read of the log found.
  void ShowCount();

  HistoryStore* history_;            // the log's source; may be null
  std::function<void()> on_closed_;  // tells the main window this one is going
  wxTimer timer_;                    // the reads while open
  BackgroundJob reads_;              // the store's reads of the log
  BackgroundJob exports_;            // the export's text, made off the GUI thread
  std::int64_t newest_id_ = -1;      // the newest row's id in the list; -1 before the first read
};

#endif  // LUMORET_UI_OUTAGE_LOG_DLG_H
