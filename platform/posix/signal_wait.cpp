#include "platform/signal_wait.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <initializer_list>

namespace platform {
namespace {

// The wake-up signal: one a service manager never sends.
constexpr int kWakeSignal = SIGUSR1;

sigset_t ProcessSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, kWakeSignal}) {
    sigaddset(&set, signal);
  }
  return set;
}

}  // namespace

void BlockProcessSignals() {
  const sigset_t set = ProcessSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ProcessSignal WaitForProcessSignal(std::chrono::milliseconds timeout) {
  const sigset_t set = ProcessSignals();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec wait{};
  wait.tv_sec = seconds.count();
  wait.tv_nsec = std::chrono::nanoseconds(timeout - seconds).count();
  int signal = -1;
  do {
    signal = sigtimedwait(&set, nullptr, &wait);  // EINTR: a signal outside the set
  } while (signal < 0 && errno == EINTR);
  switch (signal) {
    case SIGTERM:
    case SIGINT:
      return ProcessSignal::kQuit;
    case SIGHUP:
      return ProcessSignal::kReload;
    case kWakeSignal:
      return ProcessSignal::kWake;
    default:
      return ProcessSignal::kNone;
  }
}

void WakeSignalWaiter() {
  kill(getpid(), kWakeSignal);
}

}  // namespace platform
