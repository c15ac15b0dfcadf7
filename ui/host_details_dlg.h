#ifndef LUMORET_UI_HOST_DETAILS_DLG_H
#define LUMORET_UI_HOST_DETAILS_DLG_H

#include <wx/dialog.h>
#include <wx/stattext.h>

#include <array>
#include <functional>

#include "ui/cell_rules.h"
#include "ui/detail_texts.h"

class DelayGraph;
class DelayTarget;
class DelayTimeMgr;

// One host's details beside the main window: its delay graph of the last 10 minutes, its
// row's figures and the extra ones. Modeless; the main window refreshes it with its own.
class CHostDetailsDlg : public wxDialog {
 public:
  // Shows target of manager, which must outlive the window; on_closed runs when the user
  // closes it.
  CHostDetailsDlg(wxWindow* parent, const DelayTarget& target, const DelayTimeMgr& manager,
                  std::function<void()> on_closed);

  // Reads the target's figures and history again.
  void RefreshFigures();

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
  void OnClose(wxCloseEvent& event);

  const DelayTarget& target_;        // the engine's, read only
  const DelayTimeMgr& manager_;      // the engine, for its counts of all hosts
  std::function<void()> on_closed_;  // tells the main window this one is going
};

#endif  // LUMORET_UI_HOST_DETAILS_DLG_H
