#ifndef LUMORET_PLATFORM_SIGNALS_H
#define LUMORET_PLATFORM_SIGNALS_H

// Quit requests from outside: the one place a process of ours catches them.
namespace platform {

// From now on SIGTERM, SIGINT and SIGHUP (on Windows, the console's close and break
// events) only set a flag that QuitRequested reports, so the program can close in order.
// A blocking wait (poll, ppoll) the signal lands in returns early.
void CatchQuitSignals();
// Whether a quit signal has come since CatchQuitSignals; cheap enough to poll in a loop.
bool QuitRequested();

}  // namespace platform

#endif  // LUMORET_PLATFORM_SIGNALS_H
