#include "platform/desktop.h"

#include <windows.h>

#include <shellapi.h>

namespace platform {

HelpOpener OpenHelpFile(const std::string& file) {
  HelpOpener opener;
  char full[MAX_PATH];
  const DWORD length = ::GetFullPathNameA(file.c_str(), MAX_PATH, full, nullptr);
  opener.path = length > 0 && length < MAX_PATH ? std::string(full, length) : file;
  // The window the command came from owns the editor. ShellExecute reports at once:
  // a value above 32 means the editor was started.
  const HINSTANCE result =
      ::ShellExecuteA(::GetActiveWindow(), "open", "notepad.exe", file.c_str(), "", SW_SHOWNORMAL);
  opener.state = reinterpret_cast<INT_PTR>(result) > 32 ? HelpState::kOpened : HelpState::kFailed;
  return opener;
}

// ShellExecute has reported already.
void CheckHelpOpener(HelpOpener& /*opener*/) {}
void ForgetHelpOpener(HelpOpener& /*opener*/) {}

// Windows programs are started in the folder that holds their config.ini.
bool EnterWorkingFolder() {
  return false;
}

std::string LoadResourceString(unsigned id) {
  // With a zero length, LoadStringW hands out the read-only resource text itself.
  const wchar_t* text = nullptr;
  const int length =
      ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) {
    return std::string();
  }
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) {
    return std::string();
  }
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, &utf8[0], bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace platform
