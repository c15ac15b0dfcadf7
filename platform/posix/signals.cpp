#include "platform/signals.h"

#include <atomic>
#include <csignal>
#include <initializer_list>

namespace platform {
namespace {

// Set by the quit signals' handler, on whichever thread the signal lands; lock-free
// atomics are safe to use there.
std::atomic<bool> quit_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler needs a lock-free flag");

}  // namespace

void CatchQuitSignals() {
  struct sigaction action {};
  action.sa_handler = [](int) { quit_requested.store(true); };
  sigemptyset(&action.sa_mask);
  // Calls the signal interrupts go on; a wait in poll or ppoll returns early all the same.
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ::sigaction(signal, &action, nullptr);
  }
}

bool QuitRequested() {
  return quit_requested.load();
}

}  // namespace platform
