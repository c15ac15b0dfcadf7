#include "platform/instance_lock.h"

#include <windows.h>

namespace platform {

InstanceLock::InstanceLock(const std::string& name) {
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    state_ = InstanceState::kOtherRunning;
    return;
  }
  // A mutex that could not be made at all (null) counts as kOnly: better two windows
  // than none.
  mutex_ = mutex;
}

InstanceLock::~InstanceLock() {
  Release();
}

// Nobody asks through us: a later start raises the window itself.
bool InstanceLock::ActivationRequested() {
  return false;
}

void InstanceLock::Release() {
  if (mutex_ != nullptr) {
    ::CloseHandle(static_cast<HANDLE>(mutex_));
    mutex_ = nullptr;
  }
}

void ActivateOtherInstance(const std::string& /*name*/, const std::string& title) {
  // Windows lets us raise the other process's window ourselves; nothing is restored.
  HWND window = ::FindWindowA(nullptr, title.c_str());
  if (window != nullptr) {
    ::SetForegroundWindow(window);
  }
}

}  // namespace platform
