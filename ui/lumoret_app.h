#ifndef LUMORET_UI_LUMORET_APP_H
#define LUMORET_UI_LUMORET_APP_H

#include <wx/app.h>
#include <wx/timer.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "platform/instance_lock.h"
#include "ui/lumoret_settings.h"
#include "ui/modal_tracker.h"

class DelayTimeMgr;
class HistoryStore;

// The process: single-instance rule, the engine built from the socket main opened, the
// main window's loop as the only loop, and the engine stopped before the process ends.
class CLumoretApp : public wxApp {
 public:
  // icmp_socket: the open ICMP socket (raw or datagram), or -1 with failure saying why there is
  // none or why the rights could not be given up (failure, if set, is reported instead of
  // starting). icmpv6_socket: the ICMPv6 one, or -1 when it could not be opened.
  CLumoretApp(int icmp_socket, int icmpv6_socket, std::exception_ptr failure);
  ~CLumoretApp() override;
  // Starts the toolkit; where there is no display to open, says so in one line on stderr
  // instead (the toolkit's own report would need the display).
  bool Initialize(int& argc, wxChar** argv) override;
  // Runs the whole program and returns false on every path, so that no second loop
  // starts after the window has closed.
  bool OnInit() override;

  // Where the window serves its figures to Prometheus (--metrics-listen); empty: nowhere.
  std::string metrics_listen;

  // The process's exit status, decided by OnInit (wxWidgets itself reports a false
  // OnInit as a failure). Stays 1 when the toolkit could not start at all.
  static int exit_status;

 private:
  // Builds the engine, runs the window over it and stops the engine; the exit status.
  int RunWindow();
  // Opens the user's settings as the toolkit's config and reads them; what was wrong
  // with them goes to stderr, a line each.
  LumoretSettings OpenSettings();
  // Starts the history store over the engine's targets, its outage log judged by rules,
  // unless there is no folder for it.
  void StartHistory(const HostStateRules& rules);
  // Shows why the program cannot start, on stderr and in a message box.
  void ReportStartupFailure(const std::exception_ptr& error);
  // Later starts asking for the window, and quit signals.
  void OnPoll(wxTimerEvent& event);
  // Closes, for a quit signal, the innermost of what is open: a dialog, a menu, or at
  // last the main window. Ends the process outright when that takes too long.
  void CloseForQuit();
  void OnMenuOpen(wxMenuEvent& event);
  void OnMenuClose(wxMenuEvent& event);

  int icmp_socket_;                  // handed to the engine
  int icmpv6_socket_;                // handed to the engine too
  std::exception_ptr failure_;       // what went wrong before the toolkit started
  DelayTimeMgr* manager_ = nullptr;  // the engine once built, stopped on the way out
#ifdef LUMORET_HISTORY
  std::unique_ptr<HistoryStore> history_;  // keeps the probes; null without history
#endif
  ModalTracker modal_loops_;  // the dialogs and menus open over the window
  // The single-instance lock, held while the window runs.
  std::optional<platform::InstanceLock> instance_lock_;
  // When the quit signal was first seen; empty while none came.
  std::optional<std::chrono::steady_clock::time_point> quit_seen_;
};

#endif  // LUMORET_UI_LUMORET_APP_H
