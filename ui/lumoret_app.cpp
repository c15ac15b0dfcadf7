#include "ui/lumoret_app.h"

#include <wx/config.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine/delay_time_mgr.h"
#ifdef LUMORET_HISTORY
#include "engine/history_store.h"
#endif
#include "platform/data_folder.h"
#include "platform/platform.h"
#include "ui/lumoret_dlg.h"
#include "ui/message_box.h"
#include "ui/resolve_progress_dlg.h"
#include "ui/settings_file.h"
#include "ui/startup_message.h"
#include "ui/translations.h"

namespace {

const char kInstanceName[] = "mutex_for_readcount";
const char kWindowTitle[] = "Lumoret";
// The settings file's name in the user's settings folder.
const char kSettingsFileName[] = "lumoret.conf";
constexpr int kPollTimerId = 1;
constexpr int kPollMs = 100;
// A quit signal ends the process within a second: what has not closed in order by then
// (a loop of the toolkit's own that nothing can end from outside) is left behind.
constexpr std::chrono::milliseconds kQuitGrace(600);
// Names that settle within this time need no progress window.
constexpr std::chrono::milliseconds kProgressDelay(500);

// Shows the progress window while names take long; its Cancel, or a quit signal, gives
// up on the names still pending.
void AwaitNames(NameResolver& names) {
  if (names.Wait(kProgressDelay)) {
    return;
  }
  CResolveProgressDlg progress(names);
  if (progress.ShowModal() != wxID_OK) {
    names.Cancel();
  }
}

}  // namespace

int CLumoretApp::exit_status = 1;

// Where HistoryStore is whole, for the member that owns one.
CLumoretApp::~CLumoretApp() = default;

CLumoretApp::CLumoretApp(int icmp_socket, int icmpv6_socket, std::exception_ptr failure)
    : icmp_socket_(icmp_socket), icmpv6_socket_(icmpv6_socket), failure_(std::move(failure)) {}

bool CLumoretApp::Initialize(int& argc, wxChar** argv) {
  bool started = false;
  {
    wxLogNull quiet;
    started = wxApp::Initialize(argc, argv);
  }
  if (!started) {
    wxString display;
    if (!wxGetEnv("DISPLAY", &display) && !wxGetEnv("WAYLAND_DISPLAY", &display)) {
      std::fputs(Tr("Lumoret: 没有图形显示（没有设置 DISPLAY）；请在桌面会话中启动，或通过 ssh -X "
                    "启动。\n")
                     .c_str(),
                 stderr);
    } else {
      std::fputs(Fill(Tr("Lumoret: 无法打开显示 %s。\n"), {display.utf8_string()}).c_str(), stderr);
    }
  }
  return started;
}

bool CLumoretApp::OnInit() {
  // main took the command line's own options out, so wxApp::OnInit's parser is not called.
  instance_lock_.emplace(kInstanceName);
  if (instance_lock_->state() == platform::InstanceState::kOtherRunning) {
    platform::ActivateOtherInstance(kInstanceName, kWindowTitle);
    exit_status = 0;
    return false;
  }
  wxTimer poll_timer(this, kPollTimerId);
  Bind(wxEVT_TIMER, &CLumoretApp::OnPoll, this, kPollTimerId);
  // Every window's menu events that nobody handles end up here.
  Bind(wxEVT_MENU_OPEN, &CLumoretApp::OnMenuOpen, this);
  Bind(wxEVT_MENU_CLOSE, &CLumoretApp::OnMenuClose, this);
  poll_timer.Start(kPollMs);
  exit_status = RunWindow();
  poll_timer.Stop();
  instance_lock_.reset();
  return false;
}

int CLumoretApp::RunWindow() {
  if (failure_) {
    ReportStartupFailure(failure_);
    return 1;
  }
  try {
    manager_ = &DelayTimeMgr::GetInstance(icmp_socket_, &AwaitNames, icmpv6_socket_);
  } catch (const std::exception&) {
    ReportStartupFailure(std::current_exception());
    return 1;
  }
  if (!manager_->icmpv6_error.empty()) {
    // Rare (a system without IPv6), and those rows show "*": a line, not a box.
    std::fputs(Fill(Tr("Lumoret: 不探测 IPv6 主机：%s\n"), {manager_->icmpv6_error}).c_str(),
               stderr);
  }
  // The store's outage log judges states by the user's rules, as the rows do.
  const LumoretSettings settings = OpenSettings();
  // After the single-instance lock: no second Lumoret can be writing the same store.
  StartHistory(settings.rules);
  if (!platform::QuitRequested()) {
    CLumoretDlg dlg(*manager_);
    dlg.settings = settings;
    dlg.metrics_listen = metrics_listen;
#ifdef LUMORET_HISTORY
    dlg.history = history_.get();
#endif
    SetTopWindow(&dlg);
    dlg.Run();
    SetTopWindow(nullptr);
  }
  // Saved already as the window closed; nothing is left to write.
  delete wxConfigBase::Set(nullptr);
  manager_->Stop();
#ifdef LUMORET_HISTORY
  // Writes the last batch: every probe the engine made is kept.
  history_.reset();
#endif
  return 0;
}

LumoretSettings CLumoretApp::OpenSettings() {
  // Never a config of the toolkit's own making, in a place of its own choosing.
  wxConfigBase::DontCreateOnDemand();
  std::vector<std::string> problems;
  wxConfigBase* config = nullptr;
#ifdef _WIN32
  // The registry key HKCU\Software\Lumoret.
  config = new wxConfig("Lumoret", wxEmptyString);
#else
  const std::string folder = platform::UserConfigFolder();
  if (folder.empty()) {
    std::fputs(Tr("Lumoret: 没有主文件夹，设置不会保存。\n").c_str(), stderr);
    return LumoretSettings();
  }
  config = SettingsFile::Open(folder + "/" + kSettingsFileName, &problems).release();
#endif
  // The toolkit's own persistence keeps its state there too.
  delete wxConfigBase::Set(config);
  const LumoretSettings settings = LoadSettings(*config, &problems);
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "Lumoret: %s\n", problem.c_str());
  }
  return settings;
}

void CLumoretApp::StartHistory(const HostStateRules& rules) {
#ifdef LUMORET_HISTORY
  const std::string folder = platform::UserDataFolder();
  if (folder.empty()) {
    std::fputs(Tr("Lumoret: 没有主文件夹，不保存历史记录。\n").c_str(), stderr);
    return;
  }
  std::vector<HistoryStore::Source> sources;
  for (const auto& target : manager_->targets) {
    // The ring lives as long as its target, which the store keeps alive while it reads it.
    sources.push_back(
        {target->host, std::shared_ptr<const ProbeHistory>(target, &target->history)});
  }
  HistoryStore::Options options;
  options.rules = rules;
  history_ =
      std::make_unique<HistoryStore>(folder + "/history.sqlite3", std::move(sources), options);
  history_->Start();
#endif
}

void CLumoretApp::ReportStartupFailure(const std::exception_ptr& error) {
  const std::string text =
      StartupMessage(error, wxGetCwd().utf8_string(), platform::IcmpHelperPath());
  std::fputs(text.c_str(), stderr);
  ShowMessageBox(nullptr, text, Tr("Lumoret: 无法启动"), wxOK | wxICON_ERROR);
}

void CLumoretApp::OnPoll(wxTimerEvent& /*event*/) {
#ifdef LUMORET_HISTORY
  if (history_ != nullptr) {
    const std::string problem = history_->TakeProblem();
    auto* window = dynamic_cast<CLumoretDlg*>(GetTopWindow());
    if (!problem.empty() && window != nullptr) {
      window->ShowNotice(Fill(Tr("历史记录：%s"), {problem}));
    }
  }
#endif
  if (platform::QuitRequested()) {
    CloseForQuit();
    return;
  }
  if (!instance_lock_ || !instance_lock_->ActivationRequested()) {
    return;
  }
  for (wxWindow* window : wxTopLevelWindows) {
    if (window->IsShown() && window->GetLabel() == kWindowTitle) {
      window->Raise();
      return;
    }
  }
}

void CLumoretApp::CloseForQuit() {
  const auto now = std::chrono::steady_clock::now();
  if (!quit_seen_) {
    quit_seen_ = now;
  }
  if (now - *quit_seen_ > kQuitGrace) {
    std::fputs(Tr("Lumoret: 收到退出信号后有窗口没有及时关闭，现在结束。\n").c_str(), stderr);
    if (manager_ != nullptr) {
      manager_->Stop();
    }
    instance_lock_.reset();
    std::fflush(nullptr);
    // Without unwinding: the loop still open is the toolkit's, and would run on.
    std::_Exit(0);
  }
  if (!modal_loops_.EndInnermost()) {
    if (wxWindow* window = GetTopWindow()) {
      window->Close();
    }
  }
}

void CLumoretApp::OnMenuOpen(wxMenuEvent& event) {
  if (event.IsPopup()) {
    modal_loops_.MenuOpened(event.GetMenu());
  }
  event.Skip();
}

void CLumoretApp::OnMenuClose(wxMenuEvent& event) {
  if (event.IsPopup()) {
    modal_loops_.MenuClosed(event.GetMenu());
  }
  event.Skip();
}
