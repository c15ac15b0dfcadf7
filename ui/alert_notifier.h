#ifndef LUMORET_UI_ALERT_NOTIFIER_H
#define LUMORET_UI_ALERT_NOTIFIER_H

#include <wx/notifmsg.h>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/host_state.h"
#include "ui/alert_batcher.h"

// Tells the desktop when hosts go down or come back: the window hands it every change of
// state and ticks it once a second; what AlertBatcher makes of them goes out through the
// desktop's notification service (libnotify on Linux), with a sound if the user wants one.
// Without a notification service nothing else changes: one line on stderr, no error box.
class AlertNotifier {
 public:
  // A change of host (as in config.ini) that began at at_ms (ms since the Unix epoch).
  void Add(const std::string& host, HostState from, HostState to, std::int64_t at_ms);
  // Shows what is due, if anything.
  void Tick();

  // Off: changes are dropped, and what was pending is forgotten.
  void SetEnabled(bool enabled);
  // A sound with each notification: the desktop's bell (its event sound where it has one).
  void SetSound(bool sound) { sound_ = sound; }

 private:
  // Puts one notification on the desktop; false when no service took it.
  bool Show(const AlertBatcher::Alert& alert);

  AlertBatcher batcher_;                          // what is pending, and when to tell it
  std::unique_ptr<wxNotificationMessage> shown_;  // the latest, kept while the desktop shows it
  bool enabled_ = true;                           // alerts are on
  bool sound_ = false;                            // and ring
  bool failure_told_ = false;                     // the missing service was reported on stderr
};

#endif  // LUMORET_UI_ALERT_NOTIFIER_H
