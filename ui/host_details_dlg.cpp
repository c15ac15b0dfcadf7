#include "ui/host_details_dlg.h"

#include <wx/sizer.h>

#include <ctime>

#include "engine/delay_target.h"
#include "engine/delay_time_mgr.h"
#include "ui/csv_saver.h"
#include "ui/delay_graph.h"
#include "ui/host_figures.h"
#include "ui/utf8_text.h"
#ifdef LUMORET_HISTORY
#include "engine/history_store.h"
#include "ui/range_export.h"
#include "ui/translations.h"
#endif

namespace {

// A range that ends this close to now follows the time, in seconds.
constexpr std::int64_t kFollowSlack = 15;
// A range that follows the time is read again every this many refreshes (seconds): the
// store writes its probes in batches of a few seconds.
constexpr int kRefreshesPerRead = 10;

// Figures per line of the grid below the graph, each a title and its value.
constexpr int kFiguresPerLine = 2;

wxStaticText* AddFigure(wxWindow* parent, wxSizer* grid, const char* title) {
  grid->Add(new wxStaticText(parent, wxID_ANY, wxString::FromUTF8(Tr(title)) + ":"), 0,
            wxALIGN_CENTER_VERTICAL);
  auto* value = new wxStaticText(parent, wxID_ANY, "-");
  grid->Add(value, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 16);
  return value;
}

}  // namespace

CHostDetailsDlg::CHostDetailsDlg(wxWindow* parent, const DelayTarget& target,
                                 const DelayTimeMgr& manager, std::function<void()> on_closed,
                                 HistoryStore* history)
    : wxDialog(parent, wxID_ANY,
               wxString::FromUTF8(Fill(Tr("%s - 详细信息 - Lumoret"), {ValidUtf8(target.host)})),
               wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER | wxMINIMIZE_BOX | wxMAXIMIZE_BOX),
      target_(target),
      manager_(manager),
      on_closed_(std::move(on_closed)),
      history_(history) {
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  // A name still being looked up gets the graph and figures, which fill once it resolves.
  if (!target.resolved && target.lookup.load() == DelayTarget::Lookup::kFailed) {
    sizer->Add(new wxStaticText(this, wxID_ANY, _("无法解析该主机，没有可显示的数据。")), 0, wxALL,
               16);
  } else {
    AddRangeBar(sizer);
    graph = new DelayGraph(this);
    graph->on_view_changed = [this](const TimeView& view) { OnViewChanged(view); };
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

void CHostDetailsDlg::AddRangeBar(wxSizer* sizer) {
  auto* bar = new wxBoxSizer(wxHORIZONTAL);
  const std::string unavailable = HistoryUnavailable(history_);
  for (int index = 0; index < kGraphRangeCount; ++index) {
    auto* button = new wxToggleButton(this, wxID_ANY, _(kGraphRanges[index].label),
                                      wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
    button->Bind(wxEVT_TOGGLEBUTTON, [this, index](wxCommandEvent&) { SelectRange(index); });
    // The first range comes from memory; the others need the store.
    if (index > 0 && !unavailable.empty()) {
      button->Disable();
      button->SetToolTip(wxString::FromUTF8(unavailable));
    }
    range_buttons[index] = button;
    bar->Add(button, 0, wxRIGHT, 4);
  }
  range_buttons[0]->SetValue(true);
  bar->AddStretchSpacer();
  export_button = new wxButton(this, wxID_ANY, _("导出…"));
  export_button->SetToolTip(
      wxString::FromUTF8(unavailable.empty() ? Tr("把所示范围的历史记录导出为 CSV") : unavailable));
  export_button->Enable(unavailable.empty());
  export_button->Bind(wxEVT_BUTTON, &CHostDetailsDlg::OnExport, this);
  bar->Add(export_button, 0);
  sizer->Add(bar, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 8);
}

std::string CHostDetailsDlg::HistoryUnavailable(const HistoryStore* history) {
#ifdef LUMORET_HISTORY
  if (history == nullptr) {
    return Tr("没有历史记录：没有可用的用户数据文件夹。");
  }
  if (!history->writing()) {
    return Tr("历史记录不可用：数据库无法打开或写入（原因见主窗口顶部的提示）。");
  }
  return std::string();
#else
  (void)history;
  return Tr("此版本不保存历史记录。");
#endif
}

void CHostDetailsDlg::SelectRange(int index) {
  for (int other = 0; other < kGraphRangeCount; ++other) {
    range_buttons[other]->SetValue(other == index);
  }
  range_ = index;
  following_ = true;
  refreshes_ = 0;
  if (index == 0) {
    RefreshFigures();
    return;
  }
  const std::int64_t now = std::time(nullptr);
  const TimeView view(now - kGraphRanges[index].span_s, now);
  graph->SetRange(view, {}, 0);
  ReadRange(view);
}

void CHostDetailsDlg::OnViewChanged(const TimeView& view) {
  following_ = view.to_s + kFollowSlack >= std::time(nullptr);
  refreshes_ = 0;
  ReadRange(view);
}

void CHostDetailsDlg::ReadRange(const TimeView& view) {
#ifdef LUMORET_HISTORY
  if (!HistoryUnavailable(history_).empty()) {
    return;
  }
  HistoryStore* store = history_;
  const std::string host = target_.host;
  const auto width = static_cast<std::size_t>(graph->PlotWidth());
  reads_.Run([this, store, host, view, width](const std::atomic<bool>&) {
    HistoryStore::Range range = store->Query(host, view.from_s, view.to_s, width);
    // An outage still under way lasts until now.
    const std::int64_t now_ms = std::int64_t{std::time(nullptr)} * 1000;
    std::vector<std::pair<std::int64_t, std::int64_t>> outages;
    for (const HistoryStore::Outage& outage : range.outages) {
      outages.emplace_back(outage.start_ms, outage.end_ms.value_or(now_ms));
    }
    return BackgroundJob::Delivery([this, points = std::move(range.points),
                                    bucket_s = range.bucket_s,
                                    outages = std::move(outages)]() mutable {
      // Unless the window went back to the probes in memory meanwhile.
      if (range_ > 0) {
        graph->SetRange(graph->view(), std::move(points), bucket_s, std::move(outages));
      }
    });
  });
#else
  (void)view;
#endif
}

void CHostDetailsDlg::OnExport(wxCommandEvent& /*event*/) {
#ifdef LUMORET_HISTORY
  const std::int64_t now = std::time(nullptr);
  const TimeView view = range_ == 0 ? TimeView(now - kGraphRanges[0].span_s, now) : graph->view();
  const wxString path = CsvSaver::ChoosePath(this, _("导出历史记录为 CSV"), "lumoret-history.csv");
  if (path.empty()) {
    return;
  }
  HistoryStore* store = history_;
  const std::vector<std::string> hosts{target_.host};
  exports_.Run([this, store, hosts, view, path](const std::atomic<bool>& cancelled) {
    std::string text = RangeExport::Text(*store, hosts, view, cancelled, CsvSaver::kLineEnd);
    return BackgroundJob::Delivery(
        [this, path, text = std::move(text)] { CsvSaver::Save(this, path, text); });
  });
#endif
}

void CHostDetailsDlg::AddFigures(wxSizer* sizer) {
  auto* grid = new wxFlexGridSizer(2 * kFiguresPerLine, 4, 6);
  for (int column = ColumnIndex(Column::kAverage); column < kColumnCount; ++column) {
    cell_texts[column] = AddFigure(this, grid, kColumns[column].title);
  }
  for (int field = 0; field < kDetailCount; ++field) {
    detail_texts[field] = AddFigure(this, grid, kDetailTitles[field]);
  }
  kernel_drop_text = AddFigure(this, grid, TR_NOOP("本机丢弃的回复（全部主机）"));
  sizer->Add(grid, 0, wxLEFT | wxRIGHT | wxBOTTOM, 12);
}

void CHostDetailsDlg::RefreshFigures() {
  if (graph == nullptr) {
    return;  // a host that did not resolve: nothing to show
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
  if (range_ == 0) {
    graph->SetProbes(std::move(probes), now);
  } else if (following_ && ++refreshes_ >= kRefreshesPerRead) {
    // Moves on with the time, keeping the span the user zoomed to.
    const std::int64_t span = graph->view().span();
    const std::int64_t wall_now = std::time(nullptr);
    refreshes_ = 0;
    graph->SetView(TimeView(wall_now - span, wall_now));
    ReadRange(graph->view());
  }
  if (GetSizer() != nullptr) {
    Layout();
  }
}

void CHostDetailsDlg::OnClose(wxCloseEvent& /*event*/) {
  on_closed_();
  Destroy();
}
