#ifndef LUMORET_UI_HOST_DETAILS_DLG_H
#define LUMORET_UI_HOST_DETAILS_DLG_H

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/stattext.h>
#include <wx/tglbtn.h>

#include <array>
#include <functional>
#include <string>

#include "ui/background_job.h"
#include "ui/cell_rules.h"
#include "ui/detail_texts.h"
#include "ui/time_view.h"

class DelayGraph;
class DelayTarget;
class DelayTimeMgr;
class HistoryStore;

// One host's details beside the main window: its delay graph (the last 10 minutes from
// memory, or a longer range from the history store), its row's figures and the extra
// ones. Modeless; the main window refreshes it with its own.
class CHostDetailsDlg : public wxDialog {
 public:
  // Shows target of manager, which must outlive the window; on_closed runs when the user
  // closes it. history: the store the longer ranges come from, which must outlive the
  // window; null without one.
  CHostDetailsDlg(wxWindow* parent, const DelayTarget& target, const DelayTimeMgr& manager,
                  std::function<void()> on_closed, HistoryStore* history = nullptr);

  // Reads the target's figures and history again.
  void RefreshFigures();
  // Shows kGraphRanges[index] up to now, as its button does.
  void SelectRange(int index);
  // Why history cannot be shown or exported, for the user; empty when it can.
  static std::string HistoryUnavailable(const HistoryStore* history);

  // One per kGraphRanges, above the graph; none for a host that did not resolve.
  std::array<wxToggleButton*, kGraphRangeCount> range_buttons{};
  wxButton* export_button = nullptr;  // exports the range shown

  // The value shown beside each of the row's titles; none for the host, which is the caption.
  std::array<wxStaticText*, kColumnCount> cell_texts{};
  // The value shown beside each extra figure's title.
  std::array<wxStaticText*, kDetailCount> detail_texts{};
  // Replies this computer dropped for want of receive buffer, for all hosts together:
  // shown as timeouts, though the network lost nothing.
  wxStaticText* kernel_drop_text = nullptr;
  DelayGraph* graph = nullptr;  // none for a host that did not resolve

 private:
  void AddFigures(wxSizer* sizer);
  // The range buttons and the export button, in a row.
  void AddRangeBar(wxSizer* sizer);
  // Reads the graph's view of the store off the GUI thread and draws it when it comes.
  void ReadRange(const TimeView& view);
  void OnViewChanged(const TimeView& view);
  void OnExport(wxCommandEvent& event);
  void OnClose(wxCloseEvent& event);

  const DelayTarget& target_;        // the engine's, read only
  const DelayTimeMgr& manager_;      // the engine, for its counts of all hosts
  std::function<void()> on_closed_;  // tells the main window this one is going
  HistoryStore* history_;            // the longer ranges' source; may be null
  int range_ = 0;                    // the index in kGraphRanges shown
  bool following_ = true;            // the range ends now and moves on with time
  int refreshes_ = 0;                // RefreshFigures calls since the range was read
  BackgroundJob reads_;              // the store's reads for the graph
  BackgroundJob exports_;            // the export's reads and its file
};

#endif  // LUMORET_UI_HOST_DETAILS_DLG_H
