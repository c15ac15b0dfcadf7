#include "ui/lumoret_dlg.h"

// The port's wxStaticText before the generic one, whose header would keep it out.
#include <wx/stattext.h>

#include <wx/choicdlg.h>
#include <wx/config.h>
#include <wx/display.h>
#include <wx/evtloop.h>
#include <wx/filedlg.h>
#include <wx/filefn.h>
#include <wx/generic/stattextg.h>
#include <wx/infobar.h>
#include <wx/menu.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>

#include "engine/delay_time_mgr.h"
#ifdef LUMORET_HISTORY
#include "engine/history_store.h"
#endif
#include "platform/platform.h"
#include "ui/about_dlg.h"
#include "ui/app_icon.h"
#include "ui/cell_rules.h"
#include "ui/csv_saver.h"
#include "ui/detail_texts.h"
#include "ui/host_details_dlg.h"
#include "ui/host_list_editor.h"
#include "ui/host_text_dlg.h"
#include "ui/lumoret_tray_icon.h"
#include "ui/message_box.h"
#ifdef LUMORET_METRICS
#include "ui/metrics_endpoint.h"
#endif
#include "ui/outage_log_dlg.h"
#include "ui/settings_dlg.h"
#include "ui/state_counts.h"
#include "ui/target_list_ctrl.h"
#include "ui/time_view.h"
#include "ui/window_layout.h"
#ifdef LUMORET_HISTORY
#include "ui/range_export.h"
#include "ui/translations.h"
#endif

namespace {
// How often, and how many times, the help viewer's opener is asked how it fares; past
// that it runs the viewer itself, which is up.
constexpr int kHelpPollMs = 100;
constexpr int kHelpPolls = 100;
// How far each new details window sits right of and below the one before, in dialog
// units: enough to show the title of the one behind.
constexpr int kCascadeStepDu = 16;
// Above this many rows, deleting asks first.
constexpr int kDeleteWithoutAsking = 3;
// Space around the status bar's text, in pixels: left and right, above and below.
constexpr int kStatusPadX = 6;
constexpr int kStatusPadY = 3;

// How the engine's requests go out, as engine_run's #mode line says it: raw sockets (the
// helper's too), or what needs no right (Windows' echo service, else datagram sockets).
std::string ProbeModeText(platform::SocketKind kind) {
  if (kind == platform::SocketKind::kRaw) {
    return Tr("原始套接字");
  }
#ifdef _WIN32
  return Tr("Windows 回显服务");
#else
  return Tr("数据报套接字");
#endif
}

}  // namespace

CLumoretDlg::CLumoretDlg(DelayTimeMgr& manager, wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Lumoret", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER | wxMINIMIZE_BOX | wxMAXIMIZE_BOX),
      icon(AppIcon()),
      timer_(this, kTimerId),
      help_timer_(this, kHelpTimerId),
      manager_(&manager),
      host_editor_(std::make_unique<HostListEditor>(*this, manager)) {
  SetClientSize(ConvertDialogToPixels(wxSize(426, 175)));
  target_list =
      new TargetListCtrl(this, kListId, wxPoint(0, 0), ConvertDialogToPixels(wxSize(426, 174)));
  wxAcceleratorEntry keys[] = {{wxACCEL_NORMAL, WXK_F1, kHelpCommand},
                               {wxACCEL_CTRL, 'A', wxID_SELECTALL},
                               {wxACCEL_CTRL, 'C', wxID_COPY}};
  SetAcceleratorTable(wxAcceleratorTable(WXSIZEOF(keys), keys));
  target_list->Bind(wxEVT_LIST_ITEM_ACTIVATED, &CLumoretDlg::OnRowActivated, this);
  // After the list, so that Tab goes from the list to it.
  filter_box = new wxTextCtrl(this, kFilterId);
  filter_box->SetHint(_("筛选主机或状态"));
  Bind(wxEVT_TEXT, &CLumoretDlg::OnFilterText, this, kFilterId);
  // A window of its own (not a GTK label), so that it gets the clicks; as wide as the
  // window (PlaceChildren), not the text, so that all of it takes them.
  status_bar = new wxGenericStaticText(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
                                       wxST_NO_AUTORESIZE);
  status_bar->SetCursor(wxCursor(wxCURSOR_HAND));
  status_bar->SetToolTip(_("单击打开中断记录"));
  status_bar->Bind(wxEVT_LEFT_UP, &CLumoretDlg::OnStatusClick, this);
  Bind(wxEVT_ICONIZE, &CLumoretDlg::OnIconize, this);
  Bind(wxEVT_TIMER, &CLumoretDlg::OnHelpTimer, this, kHelpTimerId);
  Centre();
}

CLumoretDlg::~CLumoretDlg() {
  timer_.Stop();
#ifdef LUMORET_METRICS
  // First: a scrape under way reads the list the rest of this takes down.
  metrics_.reset();
#endif
  tray_.reset();
  help_timer_.Stop();
  platform::ForgetHelpOpener(help_opener_);
  // Before the base class takes the children down, while their callbacks may still
  // reach the list of open ones.
  delete outage_log_;
  outage_log_ = nullptr;
  for (auto& [target, window] : details_) {
    delete window;
  }
  details_.clear();
}

int CLumoretDlg::Run() {
  wxGUIEventLoop loop;
  loop_ = &loop;
  SetReturnCode(wxID_CANCEL);
  Show();
  loop.Run();
  loop_ = nullptr;
  return GetReturnCode();
}

void CLumoretDlg::Finish(int code) {
  SetReturnCode(code);
  // Also when hidden (in the tray): its place and size are those it was last shown with.
  SaveLayout();
  Hide();
  if (loop_ != nullptr) {
    loop_->ScheduleExit();
  }
}

void CLumoretDlg::OnClose(wxCloseEvent& /*event*/) {
  Finish(wxID_CANCEL);
}

void CLumoretDlg::OnInitDialog(wxInitDialogEvent& event) {
  wxDialog::OnInitDialog(event);
#ifdef __WXMSW__
  // Windows lets a program extend its window menu: the two commands go there, after a
  // separator, and come back as menu events like those of the Linux context menu.
  if (wxMenu* system_menu = MSWGetSystemMenu()) {
    const std::string about = platform::LoadResourceString(101);
    const std::string help = platform::LoadResourceString(102);
    if (!about.empty() && !help.empty()) {
      system_menu->AppendSeparator();
      // The resource texts are the msgids of the context menu's two.
      system_menu->Append(kHelpCommand, wxString::FromUTF8(Tr(help.c_str())));
      system_menu->Append(kAboutCommand, wxString::FromUTF8(Tr(about.c_str())));
    }
  }
#endif
  SetIcon(icon);
  for (int column = 0; column < kColumnCount; ++column) {
    target_list->InsertColumn(column, _(kColumns[column].title), wxLIST_FORMAT_LEFT,
                              kColumns[column].width);
  }
  target_list->SetTargets(manager_->targets);
  board_ = std::make_unique<StateBoard>(manager_->targets, settings.rules);
  target_list->SetStateBoard(board_.get());
  RestoreLayout();
  ApplySettings();
  ShowStates();
  if (!manager_->icmpv6_error.empty()) {
    // The IPv6 rows show "*" as if unresolved: the bar says why (no ICMPv6 to be had,
    // as under Wine, whose echo service has no IPv6).
    ShowNotice(Fill(Tr("不探测 IPv6 主机：%s"), {manager_->icmpv6_error}));
  }
  // Once the loop runs: the file's watcher hangs on it. The list takes the focus once the
  // window shows, or the toolkit gives it to the filter box (the list's own child window
  // is what takes it), and Enter would no longer close the window.
  CallAfter([this] {
    host_editor_->Start();
    target_list->SetFocus();
  });
  StartMetrics();
  try {
    manager_->Start();
  } catch (const std::exception& error) {
    // No worker thread: the rows stay as filled, and the box says why nothing moves.
    CallAfter(&CLumoretDlg::ShowWorkerError, std::string(error.what()));
    return;
  }
  timer_.Start(1000);
}

void CLumoretDlg::OnTimer(wxTimerEvent& event) {
  if (event.GetId() != kTimerId) {
    return;
  }
  last_changes_ = board_->Update(ClockPair::Now());
  for (const StateBoard::Change& change : last_changes_) {
    alerts_.Add(manager_->targets[change.target]->host, change.from, change.to, change.at_ms);
  }
  alerts_.Tick();
  target_list->RefreshRows();
  ShowStates();
  for (auto& [target, window] : details_) {
    window->RefreshFigures();
  }
  // Once: the bar can be closed, and a refresh must not bring it back.
  const std::uint32_t kernel_drops = manager_->kernel_drop_count.load();
  if (!kernel_drops_told_ && kernel_drops > 0) {
    kernel_drops_told_ = true;
    ShowKernelDrops(kernel_drops);
  }
  if (!worker_error_shown_ && !manager_->LastError().empty()) {
    worker_error_shown_ = true;
    // Not from inside the timer handler: the message box runs its own loop.
    CallAfter(&CLumoretDlg::ShowWorkerError, manager_->LastError());
  }
}

void CLumoretDlg::ShowStates() {
  const wxString text =
      wxString::FromUTF8(StateCountsText(board_->counts(), ProbeModeText(manager_->socket_kind)));
  if (status_bar->GetLabel() != text) {
    status_bar->SetLabel(text);
  }
  if (tray_ != nullptr) {
    tray_->ShowState(WorstState(board_->counts()), text);
  }
}

void CLumoretDlg::OnStatusClick(wxMouseEvent& event) {
  event.Skip();
  wxPostEvent(this, wxCommandEvent(wxEVT_MENU, kOutageLogCommand));
}

void CLumoretDlg::OnIconize(wxIconizeEvent& event) {
  event.Skip();
  if (event.IsIconized() && settings.minimise_to_tray && tray_ != nullptr) {
    hidden_in_tray_ = true;
    Hide();
  } else if (!event.IsIconized()) {
    hidden_in_tray_ = false;
    // A size the window manager gave while the window was iconized may never have come
    // as a size event (seen with a restore that crossed an iconify).
    PlaceChildren();
  }
}

void CLumoretDlg::ShowWorkerError(const std::string& error) {
  const std::string text = "Lumoret: the delay engine stopped: " + error +
                           ".\nThe statistics no longer change; restart Lumoret to measure again.";
  std::fprintf(stderr, "%s\n", text.c_str());
  ShowMessageBox(this, text, "Lumoret: engine stopped", wxOK | wxICON_ERROR);
}

void CLumoretDlg::OnSysCommand(unsigned id) {
  switch (id & 0xFFF0) {
    case kAboutCommand: {
      CAboutDlg about(this);
      about.ShowModal();
      break;
    }
    case kHelpCommand:
      OpenHelp();
      break;
    default:
      break;
  }
}

void CLumoretDlg::OpenHelp() {
  platform::ForgetHelpOpener(help_opener_);
  help_opener_ = platform::OpenHelpFile(ReadMeFileName());
  help_ticks_ = 0;
  help_timer_.Start(kHelpPollMs);
  // One at once: a failure to start shows now, not a tick later.
  wxTimerEvent tick(help_timer_);
  OnHelpTimer(tick);
}

void CLumoretDlg::OnHelpTimer(wxTimerEvent& /*event*/) {
  platform::CheckHelpOpener(help_opener_);
  if (help_opener_.state == platform::HelpState::kPending && ++help_ticks_ < kHelpPolls) {
    return;
  }
  help_timer_.Stop();
  // Still pending by now: a viewer that runs in the opener's place, and came up.
  platform::ForgetHelpOpener(help_opener_);
  if (help_opener_.state == platform::HelpState::kFailed) {
    const std::string text =
        Tr("无法打开帮助：没有能打开它的文本查看器。\n请直接打开此文件：\n") + help_opener_.path;
    // Not from inside the timer handler: the message box runs its own loop.
    CallAfter([this, text] {
      ShowMessageBox(this, text, Tr("Lumoret: 帮助"), wxOK | wxICON_INFORMATION);
    });
  }
}

void CLumoretDlg::OnSize(wxSizeEvent& event) {
  event.Skip();
  if (target_list == nullptr) {
    return;
  }
  PlaceChildren();
}

bool CLumoretDlg::Layout() {
  if (target_list != nullptr) {
    PlaceChildren();
  }
  return true;
}

void CLumoretDlg::PlaceChildren() {
  client_rect = GetClientRect();
  wxRect list_rect = client_rect;
  const int text_height = status_bar->GetBestSize().y;
  const int status_height = std::min(text_height + 2 * kStatusPadY, client_rect.height);
  list_rect.height -= status_height;
  status_bar->SetSize(client_rect.x + kStatusPadX, list_rect.GetBottom() + 1 + kStatusPadY,
                      std::max(0, client_rect.width - 2 * kStatusPadX), text_height);
  if (notice_bar_ != nullptr && notice_bar_->IsShown()) {
    notice_bar_->InvalidateBestSize();
    const int bar_height = std::min(notice_bar_->GetBestSize().y, list_rect.height);
    notice_bar_->SetSize(client_rect.x, client_rect.y, client_rect.width, bar_height);
    list_rect.y += bar_height;
    list_rect.height -= bar_height;
  }
  const int filter_height = std::min(filter_box->GetBestSize().y, std::max(0, list_rect.height));
  filter_box->SetSize(list_rect.x, list_rect.y, list_rect.width, filter_height);
  list_rect.y += filter_height;
  list_rect.height -= filter_height;
  target_list->SetSize(list_rect);
}

void CLumoretDlg::OnFilterText(wxCommandEvent& /*event*/) {
  target_list->SetFilter(filter_box->GetValue().utf8_string());
}

void CLumoretDlg::ShowKernelDrops(std::uint32_t count) {
  const std::string text =
      Fill(Tr("本机的接收缓冲区不够用：系统已丢弃 %s 个回复，它们显示为超时，却不是网络丢包。\n"
              "提高上限：sudo sysctl net.core.rmem_max=16777216，然后重新启动 Lumoret（或以 "
              "root 身份启动）。"),
           {CountCell(count)});
  ShowNotice(text);
}

void CLumoretDlg::ShowNotice(const std::string& text, int icon) {
  // Made only when needed: its close button loads the icon theme, memory that a
  // computer which drops nothing should not pay for.
  if (notice_bar_ == nullptr) {
    notice_bar_ = new wxInfoBarGeneric(this);
    // The toolkit's tooltip colours, which it uses by default, are black in some themes.
    notice_bar_->SetBackgroundColour(wxColour(0xFF, 0xF2, 0xB8));
    notice_bar_->SetForegroundColour(*wxBLACK);
  }
  // The bar lays out its parent as it comes and goes.
  notice_bar_->ShowMessage(wxString::FromUTF8(text), icon);
}

void CLumoretDlg::OnMenuCommand(wxCommandEvent& event) {
  OnSysCommand(static_cast<unsigned>(event.GetId()));
}

void CLumoretDlg::OnContextMenu(wxContextMenuEvent& /*event*/) {
  wxMenu menu;
  menu.Append(wxID_COPY, _("&复制\tCtrl+C"));
  menu.Enable(wxID_COPY, target_list->GetSelectedItemCount() > 0);
  menu.Append(kDetailsCommand, _("详细信息(&D)..."));
  menu.Enable(kDetailsCommand, target_list->GetSelectedItemCount() > 0);
  menu.AppendSeparator();
  menu.Append(kAddHostsCommand, _("添加主机(&A)...\tInsert"));
  menu.Append(kEditHostCommand, _("编辑(&M)...\tF2"));
  menu.Enable(kEditHostCommand, target_list->GetSelectedItemCount() > 0);
  menu.Append(kDeleteHostsCommand, _("删除(&R)\tDelete"));
  menu.Enable(kDeleteHostsCommand, target_list->GetSelectedItemCount() > 0);
  menu.Append(kResolveAgainCommand, _("重新解析(&N)"));
  menu.Enable(kResolveAgainCommand, target_list->GetSelectedItemCount() > 0);
  menu.AppendSeparator();
  menu.Append(kExportCommand, _("导出为 CSV(&E)..."));
  menu.Append(kHistoryExportCommand, _("导出历史记录(&H)..."));
  menu.Enable(kHistoryExportCommand,
              CHostDetailsDlg::HistoryUnavailable(history).empty() && !history_export_.busy());
  menu.AppendSeparator();
  menu.Append(kOutageLogCommand, _("中断记录(&L)..."));
  menu.Append(kSettingsCommand, _("设置(&S)..."));
#ifndef __WXMSW__
  // A program cannot add to the window manager's menu here, so the two commands live
  // in the window's own menu, in the same order, after a separator.
  menu.AppendSeparator();
  menu.Append(kHelpCommand, _("&帮助"));
  menu.Append(kAboutCommand, _("&关于 Lumoret..."));
#endif
  PopupMenu(&menu);
}

void CLumoretDlg::OnCopy(wxCommandEvent& /*event*/) {
  target_list->CopySelection();
}

CHostDetailsDlg* CLumoretDlg::OpenDetails(std::size_t target) {
  auto open = FindDetails(target);
  if (open == details_.end()) {
    // The window's position in the list may change while it is open: it is forgotten by itself.
    auto self = std::make_shared<const CHostDetailsDlg*>(nullptr);
    auto* window = new CHostDetailsDlg(
        this, *manager_->targets[target], *manager_, [this, self] { ForgetDetails(*self); },
        history);
    *self = window;
    window->Move(CascadePosition(window->GetSize()));
    details_.emplace_back(target, window);
    open = details_.end() - 1;
    window->Show();
  }
  CHostDetailsDlg* window = open->second;
  if (window->IsIconized()) {
    window->Iconize(false);
  }
  window->Raise();
  return window;
}

CLumoretDlg::DetailsList::iterator CLumoretDlg::FindDetails(std::size_t target) {
  return std::find_if(details_.begin(), details_.end(),
                      [target](const auto& entry) { return entry.first == target; });
}

void CLumoretDlg::ForgetDetails(const CHostDetailsDlg* window) {
  const auto open = std::find_if(details_.begin(), details_.end(),
                                 [window](const auto& entry) { return entry.second == window; });
  if (open != details_.end()) {
    details_.erase(open);
  }
}

wxPoint CLumoretDlg::CascadePosition(const wxSize& size) const {
  const int step = ConvertDialogToPixels(wxSize(kCascadeStepDu, 0)).x;
  // From the main window's corner, or a step on from the newest one still open.
  const wxPoint first = GetPosition() + wxPoint(step, step);
  const wxPoint next =
      details_.empty() ? first : details_.back().second->GetPosition() + wxPoint(step, step);
  const wxRect screen = wxDisplay(this).GetClientArea();
  return screen.Contains(wxRect(next, size)) ? next : first;
}

void CLumoretDlg::OnDetails(wxCommandEvent& /*event*/) {
  // The focused row when it is selected, else the first selected one.
  long row = target_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
  if (row < 0 || target_list->GetItemState(row, wxLIST_STATE_SELECTED) == 0) {
    row = target_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
  }
  if (row >= 0) {
    OpenDetails(target_list->TargetAt(row));
  }
}

void CLumoretDlg::OnRowActivated(wxListEvent& event) {
  OpenDetails(target_list->TargetAt(event.GetIndex()));
}

std::error_code CLumoretDlg::ExportTo(const wxString& path) const {
  return CsvSaver::Write(path, CsvText(target_list->ExportRows(), CsvSaver::kLineEnd));
}

void CLumoretDlg::SaveCsv(const wxString& path) {
  CsvSaver::Save(this, path, CsvText(target_list->ExportRows(), CsvSaver::kLineEnd));
}

void CLumoretDlg::OnExport(wxCommandEvent& /*event*/) {
  const wxString path = CsvSaver::ChoosePath(this, _("导出为 CSV"), "lumoret.csv");
  if (!path.empty()) {
    SaveCsv(path);
  }
}

void CLumoretDlg::OnExportHistory(wxCommandEvent& /*event*/) {
#ifdef LUMORET_HISTORY
  wxArrayString labels;
  for (const GraphRange& range : kGraphRanges) {
    labels.Add(_(range.label));
  }
  wxSingleChoiceDialog choice(this, _("导出全部主机在哪段时间内的历史记录？"),
                              _("Lumoret: 导出历史记录"), labels);
  if (choice.ShowModal() != wxID_OK) {
    return;
  }
  const std::int64_t now = std::time(nullptr);
  const TimeView view(now - kGraphRanges[choice.GetSelection()].span_s, now);
  const wxString path = CsvSaver::ChoosePath(this, _("导出历史记录为 CSV"), "lumoret-history.csv");
  if (path.empty()) {
    return;
  }
  // Each host once, in the order of config.ini.
  std::vector<std::string> hosts;
  for (const auto& target : manager_->targets) {
    if (std::find(hosts.begin(), hosts.end(), target->host) == hosts.end()) {
      hosts.push_back(target->host);
    }
  }
  // All hosts over weeks take a while to read: the bar says it runs, and when it is done.
  ShowNotice(Fill(Tr("正在导出历史记录到 %s …"), {path.utf8_string()}), wxICON_INFORMATION);
  HistoryStore* store = history;
  history_export_.Run([this, store, hosts, view, path](const std::atomic<bool>& cancelled) {
    std::string text = RangeExport::Text(*store, hosts, view, cancelled, CsvSaver::kLineEnd);
    return BackgroundJob::Delivery([this, path, text = std::move(text)] {
      if (CsvSaver::Save(this, path, text)) {
        ShowNotice(Fill(Tr("历史记录已导出到 %s"), {path.utf8_string()}), wxICON_INFORMATION);
      } else {
        ShowNotice(Tr("历史记录没有导出。"));
      }
    });
  });
#endif
}

void CLumoretDlg::OnOutageLog(wxCommandEvent& /*event*/) {
  if (outage_log_ == nullptr) {
    outage_log_ = new COutageLogDlg(this, history, [this] { outage_log_ = nullptr; });
    outage_log_->Show();
  }
  if (outage_log_->IsIconized()) {
    outage_log_->Iconize(false);
  }
  outage_log_->Raise();
}

void CLumoretDlg::OnSettings(wxCommandEvent& /*event*/) {
  CSettingsDlg dialog(this, settings);
  if (dialog.ShowModal() != wxID_OK) {
    return;
  }
  settings = dialog.Result();
  wxConfigBase* config = wxConfigBase::Get(false);
  if (config != nullptr && !SaveSettings(*config, settings)) {
    ShowNotice(Tr("设置已生效，但没有保存，下次启动时不会保留：") + SettingsSource(*config));
  }
  ApplySettings();
}

void CLumoretDlg::SaveLayout() {
  // None set: a window hosted without the program's settings (tests) remembers nothing.
  if (wxConfigBase* config = wxConfigBase::Get(false)) {
    WindowLayout(*config).Save(*this, *target_list);
    config->Flush();
  }
}

void CLumoretDlg::RestoreLayout() {
  if (wxConfigBase* config = wxConfigBase::Get(false)) {
    std::vector<std::string> problems;
    WindowLayout(*config).Restore(*this, *target_list, &problems);
    for (const std::string& problem : problems) {
      std::fprintf(stderr, "Lumoret: %s\n", problem.c_str());
    }
  }
}

void CLumoretDlg::ApplySettings() {
  if (board_ != nullptr) {
    board_->SetRules(settings.rules);
  }
#ifdef LUMORET_METRICS
  // /metrics says up and down as the rows do.
  if (metrics_ != nullptr) {
    metrics_->SetRules(settings.rules);
  }
#endif
#ifdef LUMORET_HISTORY
  // The log judges by the same rules as the rows, from the store's next batch on.
  if (history != nullptr) {
    history->SetRules(settings.rules);
  }
#endif
  manager_->SetResolveInterval(std::chrono::minutes(settings.resolve_minutes));
  alerts_.SetEnabled(settings.alerts);
  alerts_.SetSound(settings.sound);
  const bool tray_wanted = settings.tray_icon && wxTaskBarIcon::IsAvailable();
  if (!tray_wanted) {
    tray_.reset();
    // Hidden in a tray that is gone, the window would be lost.
    if (hidden_in_tray_) {
      hidden_in_tray_ = false;
      Show();
      Iconize(false);
    }
  } else if (tray_ == nullptr) {
    tray_ = std::make_unique<LumoretTrayIcon>(*this);
    if (board_ != nullptr) {
      ShowStates();
    }
  }
}

void CLumoretDlg::OnSelectAll(wxCommandEvent& /*event*/) {
  target_list->SelectAll();
}

void CLumoretDlg::OnCharHook(wxKeyEvent& event) {
  // Enter and Esc close the window like the close box, also when the list has the
  // focus (the dialog has no OK or Cancel button that would take them). In the filter
  // box, Enter goes on to the rows found and Esc clears what was typed, if anything.
  const bool in_filter = event.GetEventObject() == filter_box;
  switch (event.GetKeyCode()) {
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
      if (in_filter) {
        target_list->SetFocus();
        return;
      }
      Finish(wxID_OK);
      return;
    case WXK_ESCAPE:
      if (in_filter && !filter_box->IsEmpty()) {
        filter_box->Clear();
        target_list->SetFilter(std::string());
        return;
      }
      Finish(wxID_CANCEL);
      return;
    default:
      break;
  }
  if (const int command = ListKeyCommand(event); command != 0) {
    wxPostEvent(this, wxCommandEvent(wxEVT_MENU, command));
    return;
  }
  event.Skip();
}

int CLumoretDlg::ListKeyCommand(const wxKeyEvent& event) const {
  // The list's keys, not those of a text field beside it.
  auto* window = dynamic_cast<wxWindow*>(event.GetEventObject());
  while (window != nullptr && window != target_list) {
    window = window->GetParent();
  }
  if (window == nullptr || event.GetModifiers() != wxMOD_NONE) {
    return 0;
  }
  switch (event.GetKeyCode()) {
    case WXK_INSERT:
    case WXK_NUMPAD_INSERT:
      return kAddHostsCommand;
    case WXK_DELETE:
    case WXK_NUMPAD_DELETE:
      return kDeleteHostsCommand;
    case WXK_F2:
      return kEditHostCommand;
    default:
      return 0;
  }
}

std::vector<const DelayTarget*> CLumoretDlg::SelectedTargets() const {
  std::vector<const DelayTarget*> targets;
  for (long row = target_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); row >= 0;
       row = target_list->GetNextItem(row, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
    targets.push_back(manager_->targets[target_list->TargetAt(row)].get());
  }
  return targets;
}

void CLumoretDlg::OnAddHosts(wxCommandEvent& /*event*/) {
  if (!host_editor_->CheckReady()) {
    return;
  }
  HostInput input;
  CHostTextDlg dialog(this, Tr("Lumoret: 添加主机"),
                      Tr("每行一台主机：地址或名称，可以粘贴多行；# 之后是注释。\n按 Ctrl+Enter "
                         "或“确定”添加到列表末尾。"),
                      std::string(), true, [this, &input](const std::string& text) {
                        return host_editor_->CheckNewHosts(text, &input);
                      });
  if (dialog.ShowModal() == wxID_OK) {
    host_editor_->Add(input.hosts);
  }
}

void CLumoretDlg::OnDeleteHosts(wxCommandEvent& /*event*/) {
  const std::vector<const DelayTarget*> targets = SelectedTargets();
  if (targets.empty()) {
    return;
  }
  if (targets.size() > kDeleteWithoutAsking &&
      ShowMessageBox(this,
                     Fill(TrN("删除 %s 台主机？", "删除 %s 台主机？", targets.size()),
                          {std::to_string(targets.size())}),
                     Tr("Lumoret: 删除主机"),
                     wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION) != wxID_YES) {
    return;
  }
  host_editor_->Remove(targets);
}

void CLumoretDlg::OnEditHost(wxCommandEvent& /*event*/) {
  // The focused row when it is selected, else the first selected one.
  long row = target_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
  if (row < 0 || target_list->GetItemState(row, wxLIST_STATE_SELECTED) == 0) {
    row = target_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
  }
  if (row < 0 || !host_editor_->CheckReady()) {
    return;
  }
  // Held while the dialog is open: a reload of the file may drop the row meanwhile.
  const std::shared_ptr<DelayTarget> target = manager_->targets[target_list->TargetAt(row)];
  std::string host;
  CHostTextDlg dialog(this, Tr("Lumoret: 编辑主机"), Tr("主机（地址或名称），按 Enter 确定："),
                      target->host, false, [this, &target, &host](const std::string& text) {
                        return host_editor_->CheckEdit(text, *target, &host);
                      });
  if (dialog.ShowModal() == wxID_OK) {
    host_editor_->Replace(*target, host);
  }
}

void CLumoretDlg::OnResolveAgain(wxCommandEvent& /*event*/) {
  std::vector<std::size_t> positions;
  for (long row = target_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); row >= 0;
       row = target_list->GetNextItem(row, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
    positions.push_back(target_list->TargetAt(row));
  }
  // None selected would mean every name.
  if (!positions.empty()) {
    manager_->ResolveAgain(positions);
  }
}

void CLumoretDlg::StartMetrics() {
  if (metrics_listen.empty()) {
    return;
  }
#ifdef LUMORET_METRICS
  try {
    metrics_ = std::make_unique<MetricsEndpoint>(metrics_listen, *manager_, *this,
                                                 [this] { return host_editor_->Reload(); });
    metrics_->SetRules(settings.rules);
  } catch (const std::exception& error) {
    // The window is what the user came for: it runs on, and the bar says why.
    std::fprintf(stderr, "Lumoret: no metrics endpoint: %s\n", error.what());
    CallAfter(&CLumoretDlg::ShowNotice, Tr("Prometheus 指标无法提供：") + error.what(),
              static_cast<int>(wxICON_WARNING));
  }
#endif
}

void CLumoretDlg::ApplyTargetChange(const std::vector<std::size_t>& previous) {
#ifdef LUMORET_METRICS
  if (metrics_ != nullptr) {
    metrics_->SetTargets(manager_->targets);
  }
#endif
  if (board_ == nullptr) {
    return;  // not initialised: the first fill reads the list as it is
  }
  // Where each position of the list before went; kAdded for a removed target.
  std::vector<std::size_t> moved(board_->size(), DelayTimeMgr::kAdded);
  for (std::size_t i = 0; i < previous.size(); ++i) {
    if (previous[i] < moved.size()) {
      moved[previous[i]] = i;
    }
  }
  for (auto open = details_.begin(); open != details_.end();) {
    open->first = moved[open->first];
    if (open->first != DelayTimeMgr::kAdded) {
      ++open;
      continue;
    }
    // At once: the window reads its target, which may go with the list.
    CHostDetailsDlg* const window = open->second;
    open = details_.erase(open);
    delete window;
  }
  std::vector<StateBoard::Change> changes;
  for (StateBoard::Change change : last_changes_) {
    if ((change.target = moved[change.target]) != DelayTimeMgr::kAdded) {
      changes.push_back(change);
    }
  }
  last_changes_ = std::move(changes);
  board_->Remap(manager_->targets, previous);
  target_list->SetTargets(manager_->targets, &previous);
#ifdef LUMORET_HISTORY
  if (history != nullptr) {
    std::vector<HistoryStore::Source> sources;
    sources.reserve(manager_->targets.size());
    for (const auto& target : manager_->targets) {
      sources.push_back(
          {target->host, std::shared_ptr<const ProbeHistory>(target, &target->history)});
    }
    history->SetSources(std::move(sources));
  }
#endif
  ShowStates();
}

// clang-format off

wxBEGIN_EVENT_TABLE(CLumoretDlg, wxDialog)
  EVT_INIT_DIALOG(CLumoretDlg::OnInitDialog)
  EVT_TIMER(wxID_ANY, CLumoretDlg::OnTimer)
  EVT_SIZE(CLumoretDlg::OnSize)
  EVT_MENU(CLumoretDlg::kHelpCommand, CLumoretDlg::OnMenuCommand)
  EVT_MENU(CLumoretDlg::kAboutCommand, CLumoretDlg::OnMenuCommand)
  EVT_MENU(wxID_COPY, CLumoretDlg::OnCopy)
  EVT_MENU(wxID_SELECTALL, CLumoretDlg::OnSelectAll)
  EVT_MENU(CLumoretDlg::kDetailsCommand, CLumoretDlg::OnDetails)
  EVT_MENU(CLumoretDlg::kExportCommand, CLumoretDlg::OnExport)
  EVT_MENU(CLumoretDlg::kHistoryExportCommand, CLumoretDlg::OnExportHistory)
  EVT_MENU(CLumoretDlg::kOutageLogCommand, CLumoretDlg::OnOutageLog)
  EVT_MENU(CLumoretDlg::kSettingsCommand, CLumoretDlg::OnSettings)
  EVT_MENU(CLumoretDlg::kAddHostsCommand, CLumoretDlg::OnAddHosts)
  EVT_MENU(CLumoretDlg::kDeleteHostsCommand, CLumoretDlg::OnDeleteHosts)
  EVT_MENU(CLumoretDlg::kEditHostCommand, CLumoretDlg::OnEditHost)
  EVT_MENU(CLumoretDlg::kResolveAgainCommand, CLumoretDlg::OnResolveAgain)
  EVT_CONTEXT_MENU(CLumoretDlg::OnContextMenu)
  EVT_CHAR_HOOK(CLumoretDlg::OnCharHook)
  EVT_CLOSE(CLumoretDlg::OnClose)
wxEND_EVENT_TABLE()
