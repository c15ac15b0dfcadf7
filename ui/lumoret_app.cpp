#include "ui/lumoret_app.h"

#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <cstdio>

#include "engine/delay_time_mgr.h"
#include "platform/platform.h"
#include "ui/lumoret_dlg.h"

namespace {
const char kInstanceName[] = "mutex_for_readcount";
const char kWindowTitle[] = "Lumoret";
constexpr int kActivationTimerId = 1;
constexpr int kActivationPollMs = 100;
}  // namespace

int CLumoretApp::exit_status = 1;

CLumoretApp::CLumoretApp() {
  // GTK would otherwise look for the accessibility bus and complain on stderr where
  // there is none; this has to happen before the toolkit starts.
  if (!wxGetEnv("NO_AT_BRIDGE", nullptr)) {
    wxSetEnv("NO_AT_BRIDGE", "1");
  }
  // Nothing here draws with OpenGL, yet GDK probes GLX at start-up, which maps a whole
  // Mesa driver into the process (about 50 MiB of it with llvmpipe).
  if (!wxGetEnv("GDK_GL", nullptr)) {
    wxSetEnv("GDK_GL", "disable");
  }
}

bool CLumoretApp::OnInit() {
  // The command line is not examined, so wxApp::OnInit's parser is not called.
  if (platform::AcquireInstance(kInstanceName) == platform::InstanceState::kOtherRunning) {
    platform::ActivateOtherInstance(kInstanceName, kWindowTitle);
    exit_status = 0;
    return false;
  }
  // Runs inside the engine's construction, between opening the socket and touching
  // config.ini.
  DelayTimeMgr::on_socket_open = &platform::DropPrivileges;

  wxTimer activation_timer(this, kActivationTimerId);
  Bind(wxEVT_TIMER, &CLumoretApp::OnActivationPoll, this, kActivationTimerId);
  activation_timer.Start(kActivationPollMs);
  {
    CLumoretDlg dlg;
    SetTopWindow(&dlg);
    dlg.ShowModal();
    activation_timer.Stop();
    // Only an engine that came into being is stopped.
    if (dlg.manager() != nullptr) {
      dlg.manager()->Stop();
    }
    if (dlg.startup_error().empty()) {
      exit_status = 0;
    } else {
      std::fputs(dlg.startup_error().c_str(), stderr);
      wxMessageBox(wxString::FromUTF8(dlg.startup_error()), "Lumoret: cannot start",
                   wxOK | wxICON_ERROR);
      exit_status = 1;
    }
    SetTopWindow(nullptr);
  }
  platform::ReleaseInstance();
  return false;
}

void CLumoretApp::OnActivationPoll(wxTimerEvent& /*event*/) {
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
