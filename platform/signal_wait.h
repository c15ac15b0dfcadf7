#ifndef LUMORET_PLATFORM_SIGNAL_WAIT_H
#define LUMORET_PLATFORM_SIGNAL_WAIT_H

#include <chrono>

// A headless process's signals, taken one at a time by the thread that waits for them
// instead of by a handler, so that what they ask runs on that thread (POSIX only).
namespace platform {

// What WaitForProcessSignal saw.
enum class ProcessSignal {
  kQuit,    // SIGTERM or SIGINT: stop
  kReload,  // SIGHUP: read the configuration again
  kWake,    // WakeSignalWaiter: work handed over by another thread
  kNone,    // the wait ran out
};
// Blocks SIGTERM, SIGINT, SIGHUP and the wake-up signal for the calling thread and every
// thread it starts later: call while it is the only thread, so that none is left to take
// them from WaitForProcessSignal.
void BlockProcessSignals();
// Waits up to timeout for one of the blocked signals.
ProcessSignal WaitForProcessSignal(std::chrono::milliseconds timeout);
// Any thread: sends the process the wake-up signal, which WaitForProcessSignal reports as
// kWake (several before a wait may be reported once).
void WakeSignalWaiter();

}  // namespace platform

#endif  // LUMORET_PLATFORM_SIGNAL_WAIT_H
