#include "ui/lumoret_app.h"

#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdio>

#include "engine/delay_time_mgr.h"
#include "platform/platform.h"
#include "ui/lumoret_dlg.h"
#include "ui/resolve_progress_dlg.h"
#include "ui/startup_message.h"

namespace {

const char kInstanceName[] = "mutex_for_readcount";
const char kWindowTitle[] = "Lumoret";
constexpr int kPollTimerId = 1;
constexpr int kPollMs = 100;
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

// Ends every modal loop, innermost first, so that each returns to its caller.
void EndModalLoops() {
  for (auto it = wxTopLevelWindows.rbegin(); it != wxTopLevelWindows.rend(); ++it) {
    auto* dialog = dynamic_cast<wxDialog*>(*it);
    if (dialog != nullptr && dialog->IsModal()) {
      dialog->EndModal(wxID_CANCEL);
    }
  }
}

}  // namespace

int CLumoretApp::exit_status = 1;

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
      std::fputs(
          "Lumoret: no graphical display (DISPLAY is not set); start it in a desktop "
          "session, or over ssh -X.\n",
          stderr);
    } else {
      std::fprintf(stderr, "Lumoret: cannot open the display %s.\n", display.utf8_str().data());
    }
  }
  return started;
}

bool CLumoretApp::OnInit() {
  // The command line is not examined, so wxApp::OnInit's parser is not called.
  if (platform::AcquireInstance(kInstanceName) == platform::InstanceState::kOtherRunning) {
    platform::ActivateOtherInstance(kInstanceName, kWindowTitle);
    exit_status = 0;
    return false;
  }
  wxTimer poll_timer(this, kPollTimerId);
  Bind(wxEVT_TIMER, &CLumoretApp::OnPoll, this, kPollTimerId);
  poll_timer.Start(kPollMs);
  exit_status = RunWindow();
  poll_timer.Stop();
  platform::ReleaseInstance();
  return false;
}

int CLumoretApp::RunWindow() {
  if (failure_) {
    ReportStartupFailure(failure_);
    return 1;
  }
  DelayTimeMgr* manager = nullptr;
  try {
    manager = &DelayTimeMgr::GetInstance(icmp_socket_, &AwaitNames, icmpv6_socket_);
  } catch (const std::exception&) {
    ReportStartupFailure(std::current_exception());
    return 1;
  }
  if (!manager->icmpv6_error.empty()) {
    // Rare (a system without IPv6), and those rows show "*": a line, not a box.
    std::fprintf(stderr, "Lumoret: IPv6 hosts are not probed: %s\n", manager->icmpv6_error.c_str());
  }
  if (!platform::QuitRequested()) {
    CLumoretDlg dlg(*manager);
    SetTopWindow(&dlg);
    dlg.ShowModal();
    SetTopWindow(nullptr);
  }
  manager->Stop();
  return 0;
}

void CLumoretApp::ReportStartupFailure(const std::exception_ptr& error) {
  const std::string text =
      StartupMessage(error, wxGetCwd().utf8_string(), platform::IcmpHelperPath());
  std::fputs(text.c_str(), stderr);
  // The generic box is a dialog of ours, so a quit signal can end its loop too.
  wxGenericMessageDialog box(nullptr, wxString::FromUTF8(text), "Lumoret: cannot start",
                             wxOK | wxICON_ERROR);
  box.ShowModal();
}

void CLumoretApp::OnPoll(wxTimerEvent& /*event*/) {
  if (platform::QuitRequested()) {
    EndModalLoops();
    return;
  }
  if (!platform::ActivationRequested()) {
    return;
  }
  for (wxWindow* window : wxTopLevelWindows) {
    if (window->IsShown() && window->GetLabel() == kWindowTitle) {
      window->Raise();
      return;
    }
  }
}
