#ifndef LUMORET_UI_LUMORET_APP_H
#define LUMORET_UI_LUMORET_APP_H

#include <wx/app.h>
#include <wx/timer.h>

// The process: single-instance rule, the main window's modal loop as the only loop,
// and the engine stopped before the process ends.
class CLumoretApp : public wxApp {
 public:
  CLumoretApp();
  // Runs the whole program and returns false on every path, so that no second loop
  // starts after the window has closed.
  bool OnInit() override;

  // The process's exit status, decided by OnInit (wxWidgets itself reports a false
  // OnInit as a failure). Stays 1 when the toolkit could not start at all.
  static int exit_status;

 private:
  void OnActivationPoll(wxTimerEvent& event);
};

wxDECLARE_APP(CLumoretApp);

#endif  // LUMORET_UI_LUMORET_APP_H
