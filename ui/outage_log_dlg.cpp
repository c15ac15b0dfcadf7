#include "ui/outage_log_dlg.h"

#include <wx/menu.h>
#include <wx/sizer.h>

#include <utility>
#include <vector>

#include "ui/csv_saver.h"
#include "ui/host_details_dlg.h"
#include "ui/outage_log_list.h"
#include "ui/outage_log_texts.h"
#ifdef LUMORET_HISTORY
#include "engine/history_store.h"
#include "ui/translations.h"
#endif

COutageLogDlg::COutageLogDlg(wxWindow* parent, HistoryStore* history,
                             std::function<void()> on_closed)
    : wxDialog(parent, wxID_ANY, _("Lumoret: 中断记录"), wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER | wxMINIMIZE_BOX | wxMAXIMIZE_BOX),
      history_(history),
      on_closed_(std::move(on_closed)),
      timer_(this) {
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  const std::string unavailable = CHostDetailsDlg::HistoryUnavailable(history_);
  if (!unavailable.empty()) {
    // The log lives in the history database: without one there is none to show.
    summary_text = new wxStaticText(
        this, wxID_ANY,
        _("没有中断记录可显示。中断记录保存在历史记录中；") + wxString::FromUTF8(unavailable));
    sizer->Add(summary_text, 1, wxALL, 16);
    SetSizerAndFit(sizer);
  } else {
    AddList(sizer);
    SetSizer(sizer);
    SetSize(FromDIP(wxSize(620, 420)));
  }
  Bind(wxEVT_CLOSE_WINDOW, &COutageLogDlg::OnClose, this);
  // Esc closes it like the close box (a modeless dialog would only hide itself).
  Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
    if (event.GetKeyCode() == WXK_ESCAPE) {
      Close();
      return;
    }
    event.Skip();
  });
  if (log_list != nullptr) {
    Reload();
    timer_.Start(kRefreshMs);
  }
}

void COutageLogDlg::AddList(wxSizer* sizer) {
  log_list = new OutageLogList(this, wxID_ANY);
  sizer->Add(log_list, 1, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 8);
  auto* bar = new wxBoxSizer(wxHORIZONTAL);
  summary_text = new wxStaticText(this, wxID_ANY, _("正在读取中断记录…"));
  bar->Add(summary_text, 1, wxALIGN_CENTER_VERTICAL);
  export_button = new wxButton(this, wxID_ANY, _("导出为 CSV(&E)..."));
  export_button->Bind(wxEVT_BUTTON, &COutageLogDlg::OnExport, this);
  bar->Add(export_button, 0);
  sizer->Add(bar, 0, wxEXPAND | wxALL, 8);
  wxAcceleratorEntry keys[] = {{wxACCEL_CTRL, 'A', wxID_SELECTALL}, {wxACCEL_CTRL, 'C', wxID_COPY}};
  SetAcceleratorTable(wxAcceleratorTable(WXSIZEOF(keys), keys));
  Bind(
      wxEVT_MENU, [this](wxCommandEvent&) { log_list->CopySelection(); }, wxID_COPY);
  Bind(
      wxEVT_MENU, [this](wxCommandEvent&) { log_list->SelectAll(); }, wxID_SELECTALL);
  Bind(wxEVT_MENU, &COutageLogDlg::OnExport, this, wxID_SAVEAS);
  log_list->Bind(wxEVT_CONTEXT_MENU, &COutageLogDlg::OnContextMenu, this);
  Bind(wxEVT_TIMER, &COutageLogDlg::OnTimer, this);
}

void COutageLogDlg::Reload() {
#ifdef LUMORET_HISTORY
  if (log_list == nullptr) {
    return;
  }
  HistoryStore* store = history_;
  const LogSort sort = log_list->sort();
  const std::int64_t shown_id = newest_id_;
  reads_.Run([this, store, sort, shown_id](const std::atomic<bool>& cancelled) {
    // The whole log takes a tenth of a second or more: only when it has grown.
    const std::vector<LogEntry> newest = store->ReadLog(1);
    const std::int64_t newest_id = newest.empty() ? 0 : newest[0].id;
    if (newest_id == shown_id) {
      return BackgroundJob::Delivery();
    }
    std::vector<LogEntry> entries = store->ReadLog(kMaxRows);
    if (cancelled) {
      return BackgroundJob::Delivery();  // the window is going
    }
    std::vector<std::size_t> order = SortedLog(entries, sort);
    return BackgroundJob::Delivery(
        [this, entries = std::move(entries), order = std::move(order), sort, newest_id]() mutable {
          log_list->SetEntries(std::move(entries), std::move(order), sort);
          newest_id_ = newest_id;
          ++reads_shown;
          ShowCount();
        });
  });
#endif
}

void COutageLogDlg::ShowCount() {
  const auto count = static_cast<unsigned long>(log_list->GetItemCount());
  summary_text->SetLabel(
      count == 0
          ? _("还没有状态变化。")
          : wxString::Format(wxPLURAL("共 %lu 条状态变化", "共 %lu 条状态变化", count), count));
}

void COutageLogDlg::OnTimer(wxTimerEvent& /*event*/) {
  // A read that takes longer than the period is not queued behind itself.
  if (!reads_.busy()) {
    Reload();
  }
}

std::error_code COutageLogDlg::ExportTo(const wxString& path) const {
  return CsvSaver::Write(path, LogCsvText(log_list->ShownEntries(), CsvSaver::kLineEnd));
}

void COutageLogDlg::OnExport(wxCommandEvent& /*event*/) {
  const wxString path = CsvSaver::ChoosePath(this, _("导出中断记录为 CSV"), "lumoret-outages.csv");
  if (path.empty()) {
    return;
  }
  // The rows as shown now; their text is made off this thread, the file written on it.
  exports_.Run([this, path, entries = log_list->ShownEntries()](const std::atomic<bool>&) {
    std::string text = LogCsvText(entries, CsvSaver::kLineEnd);
    return BackgroundJob::Delivery(
        [this, path, text = std::move(text)] { CsvSaver::Save(this, path, text); });
  });
}

void COutageLogDlg::OnContextMenu(wxContextMenuEvent& /*event*/) {
  wxMenu menu;
  menu.Append(wxID_COPY, _("&复制\tCtrl+C"));
  menu.Enable(wxID_COPY, log_list->GetSelectedItemCount() > 0);
  menu.Append(wxID_SELECTALL, _("全选(&A)\tCtrl+A"));
  menu.Append(wxID_SAVEAS, _("导出为 CSV(&E)..."));
  PopupMenu(&menu);
}

void COutageLogDlg::OnClose(wxCloseEvent& /*event*/) {
  timer_.Stop();
  on_closed_();
  Destroy();
}
