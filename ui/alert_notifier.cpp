#include "ui/alert_notifier.h"

#include <wx/log.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdio>

#include "ui/app_icon.h"

void AlertNotifier::Add(const std::string& host, HostState from, HostState to, std::int64_t at_ms) {
  if (enabled_) {
    batcher_.Add(host, from, to, at_ms);
  }
}

void AlertNotifier::Tick() {
  if (!enabled_) {
    return;
  }
  // The pause between notifications is timed on a clock that a change of the system's
  // time cannot stretch.
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const auto alert =
      batcher_.Take(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  if (!alert) {
    return;
  }
  if (!Show(*alert) && !failure_told_) {
    failure_told_ = true;
    std::fputs("Lumoret: no desktop notification service answered; alerts are not shown\n", stderr);
  }
  const auto shown = std::chrono::steady_clock::now().time_since_epoch();
  batcher_.Given(std::chrono::duration_cast<std::chrono::milliseconds>(shown).count());
  // wxSound is no choice here: Debian's wxGTK has no sound back end but the long-gone
  // /dev/dsp, and without it "plays" in silence and reports success.
  if (sound_) {
    wxBell();
  }
}

void AlertNotifier::SetEnabled(bool enabled) {
  if (!enabled) {
    // Turned on again later, it must not tell what happened long before.
    batcher_ = AlertBatcher();
  }
  enabled_ = enabled;
}

bool AlertNotifier::Show(const AlertBatcher::Alert& alert) {
  // Some wx ports report a missing service with an error box: the stderr line says it once.
  wxLogNull quiet;
  // The previous one goes: the desktop keeps showing it, but its events are of no use.
  shown_ = std::make_unique<wxNotificationMessage>(wxString::FromUTF8(alert.title),
                                                   wxString::FromUTF8(alert.body));
  shown_->SetIcon(AppIcon());
  return shown_->Show();
}
