// Loaded into Lumoret.exe by lumoret_probe through a message hook: reads the report list
// from inside the process (under Wine on an emulated CPU, no process can read another's
// memory) and sends the rows back with WM_COPYDATA, which Windows carries across, followed
// by the window's texts.
#include <windows.h>
// (after windows.h, on which it builds)
#include <commctrl.h>

#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) {
    return std::string();
  }
  std::string out(static_cast<std::size_t>(bytes - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  return out;
}

// One line a row, cells separated by " | ".
std::string ReadRows(HWND list) {
  std::string rows;
  const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  // The list's own header says how many columns it has.
  const auto header = reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0));
  const int columns = static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < count; ++row) {
    for (int column = 0; column < columns; ++column) {
      wchar_t text[256] = {};
      LVITEMW item = {};
      item.iSubItem = column;
      item.pszText = text;
      item.cchTextMax = 256;
      ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
      rows += (column ? " | " : "") + Utf8(text);
    }
    rows += '\n';
  }
  return rows;
}

// "#CLASS: TEXT" for a window with a text, added to the texts LPARAM points to.
BOOL CALLBACK AddText(HWND window, LPARAM texts) {
  wchar_t text[512] = {};
  if (::SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text)) > 0) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    *reinterpret_cast<std::string*>(texts) += std::string("#") + name + ": " + Utf8(text) + '\n';
  }
  return TRUE;
}

// One line for the window's title and one for each window inside it with a text (a status
// bar gives its first part): where the window may say which mode runs.
std::string ReadTexts(HWND window) {
  std::string texts;
  AddText(window, reinterpret_cast<LPARAM>(&texts));
  ::EnumChildWindows(window, AddText, reinterpret_cast<LPARAM>(&texts));
  return texts;
}

DWORD last_report = 0;

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    ProbeHook(int code, WPARAM wparam, LPARAM lparam) {
  const DWORD now = ::GetTickCount();
  if (code >= 0 && now - last_report >= 300) {
    last_report = now;
    HWND window = ::FindWindowA(nullptr, "Lumoret");
    HWND list = window ? ::FindWindowExW(window, nullptr, WC_LISTVIEWW, nullptr) : nullptr;
    HWND receiver = ::FindWindowA("LumoretProbeReceiver", nullptr);
    if (list != nullptr && receiver != nullptr) {
      const std::string rows = ReadRows(list) + ReadTexts(window);
      COPYDATASTRUCT data = {};
      data.cbData = static_cast<DWORD>(rows.size() + 1);
      data.lpData = const_cast<char*>(rows.c_str());
      ::SendMessageTimeoutW(receiver, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                            SMTO_ABORTIFHUNG, 2000, nullptr);
    }
  }
  return ::CallNextHookEx(nullptr, code, wparam, lparam);
}
