#include "platform/signals.h"

#include <windows.h>

namespace platform {
namespace {

volatile LONG quit_requested = 0;  // set by the console's close and break events

BOOL WINAPI OnConsoleEvent(DWORD /*event*/) {
  ::InterlockedExchange(&quit_requested, 1);
  return TRUE;
}

}  // namespace

void CatchQuitSignals() {
  ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

bool QuitRequested() {
  return ::InterlockedCompareExchange(&quit_requested, 0, 0) != 0;
}

}  // namespace platform
