#include "ui/host_details_dlg.h"

#include <wx/sizer.h>

#include "engine/delay_target.h"
#include "engine/delay_time_mgr.h"
#include "ui/delay_graph.h"
#include "ui/host_figures.h"
#include "ui/utf8_text.h"

namespace {

// Figures per line of the grid below the graph, each a title and its value.
constexpr int kFiguresPerLine = 2;

wxStaticText* AddFigure(wxWindow* parent, wxSizer* grid, const char* title) {
  grid->Add(new wxStaticText(parent, wxID_ANY, wxString::FromUTF8(title) + ":"), 0,
            wxALIGN_CENTER_VERTICAL);
  auto* value = new wxStaticText(parent, wxID_ANY, "-");
  grid->Add(value, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 16);
  return value;
}

}  // namespace

CHostDetailsDlg::CHostDetailsDlg(wxWindow* parent, const DelayTarget& target,
                                 const DelayTimeMgr& manager, std::function<void()> on_closed)
    : wxDialog(parent, wxID_ANY,
               wxString::FromUTF8(ValidUtf8(target.host) + " - 详细信息 - Lumoret"),
               wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER | wxMINIMIZE_BOX | wxMAXIMIZE_BOX),
      target_(target),
      manager_(manager),
      on_closed_(std::move(on_closed)) {
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  if (!target.resolved) {
    sizer->Add(
        new wxStaticText(this, wxID_ANY, wxString::FromUTF8("无法解析该主机，没有可显示的数据。")),
        0, wxALL, 16);
  } else {
    graph = new DelayGraph(this);
    sizer->Add(graph, 1, wxEXPAND | wxALL, 8);
    AddFigures(sizer);
    RefreshFigures();  // before the fit, so the window fits real texts
  }
  SetSizerAndFit(sizer);
  Bind(wxEVT_CLOSE_WINDOW, &CHostDetailsDlg::OnClose, this);
  // Esc closes it like the close box (a modeless dialog would only hide itself).
  Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
    if (event.GetKeyCode() == WXK_ESCAPE) {
      Close();
      return;
    }
    event.Skip();
  });
}

void CHostDetailsDlg::AddFigures(wxSizer* sizer) {
  auto* grid = new wxFlexGridSizer(2 * kFiguresPerLine, 4, 6);
  for (int column = ColumnIndex(Column::kAverage); column < kColumnCount; ++column) {
    cell_texts[column] = AddFigure(this, grid, kColumns[column].title);
  }
  for (int field = 0; field < kDetailCount; ++field) {
    detail_texts[field] = AddFigure(this, grid, kDetailTitles[field]);
  }
  kernel_drop_text = AddFigure(this, grid, "本机丢弃的回复（全部主机）");
  sizer->Add(grid, 0, wxLEFT | wxRIGHT | wxBOTTOM, 12);
}

void CHostDetailsDlg::RefreshFigures() {
  if (!target_.resolved) {
    return;
  }
  ProbeHistory::Clock::time_point now;
  std::vector<ProbeHistory::Probe> probes = RecentProbes(target_, &now);
  const RowTexts cells = ReadRow(target_);
  const DetailTexts details = ReadDetails(target_, probes);
  for (int column = ColumnIndex(Column::kAverage); column < kColumnCount; ++column) {
    cell_texts[column]->SetLabel(wxString::FromUTF8(cells[column]));
  }
  for (int field = 0; field < kDetailCount; ++field) {
    detail_texts[field]->SetLabel(wxString::FromUTF8(details[field]));
  }
  kernel_drop_text->SetLabel(CountCell(manager_.kernel_drop_count.load()));
  graph->SetProbes(std::move(probes), now);
  if (GetSizer() != nullptr) {
    Layout();
  }
}

void CHostDetailsDlg::OnClose(wxCloseEvent& /*event*/) {
  on_closed_();
  Destroy();
}
