// lumoret_probe <command> [seconds]: looks at a running Lumoret.exe from outside, as a
// user would, and exits 0 when the check holds within the given time (default 30 s).
//   window     a top-level window titled "Lumoret" exists
//   replies    the first row's reply count reaches 2; prints every row. With a host after
//              the seconds: that host's row instead
//   text       a text of the window (title, child windows) contains the given string,
//              which follows the seconds; prints the texts
//   gone       no window titled "Lumoret" is left
//   about      the window menu's last item opens the About box, Esc closes it again
//   help       the item before it starts Notepad (closed again)
//   details    the context menu's details item opens the first row's details window,
//              WM_CLOSE closes it again
//   foreground the window is the foreground window
//   close      closes the window
#include <windows.h>
// (after windows.h, which it needs)
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char kTitle[] = "Lumoret";
const wchar_t kAboutTitle[] = L"\x5173\x4e8e Lumoret";  // "关于 Lumoret"
// How a details window's title ends, after the host.
const wchar_t kDetailsTitleEnd[] = L" - \x8be6\x7ec6\x4fe1\x606f - Lumoret";  // "详细信息"

// Polls check every 100 ms until it holds or the time is up.
template <typename Check>
bool WaitFor(double seconds, Check check) {
  const DWORD end = ::GetTickCount() + static_cast<DWORD>(seconds * 1000);
  for (;;) {
    if (check()) {
      return true;
    }
    if (static_cast<LONG>(::GetTickCount() - end) >= 0) {
      return false;
    }
    ::Sleep(100);
  }
}

HWND MainWindow() {
  return ::FindWindowA(nullptr, kTitle);
}

// The rows the hook in Lumoret's process sent last, one line each.
std::string received_rows;

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_COPYDATA) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    const char* text = static_cast<const char*>(data->lpData);
    received_rows.assign(text, strnlen(text, data->cbData));
    return TRUE;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

// The report list is read inside Lumoret's process by a hook DLL: under Wine on an
// emulated CPU no process can read another's memory, which LVM_GETITEMTEXT would need.
// Waits, handling messages, until check accepts the rows or the time is up.
template <typename Check>
bool WatchRows(HWND window, double seconds, Check check) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSW receiver_class = {};
  receiver_class.lpfnWndProc = ReceiverProc;
  receiver_class.hInstance = instance;
  receiver_class.lpszClassName = L"LumoretProbeReceiver";
  ::RegisterClassW(&receiver_class);
  HWND receiver = ::CreateWindowW(L"LumoretProbeReceiver", L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                  nullptr, instance, nullptr);
  HMODULE hook_dll = ::LoadLibraryW(L"lumoret_probe_hook.dll");
  auto* hook_proc = hook_dll ? reinterpret_cast<HOOKPROC>(
                                   reinterpret_cast<void*>(::GetProcAddress(hook_dll, "ProbeHook")))
                             : nullptr;
  HHOOK hook = hook_proc ? ::SetWindowsHookExW(WH_GETMESSAGE, hook_proc, hook_dll,
                                               ::GetWindowThreadProcessId(window, nullptr))
                         : nullptr;
  if (receiver == nullptr || hook == nullptr) {
    std::fprintf(stderr, "lumoret_probe: cannot hook Lumoret's thread (error %lu)\n",
                 ::GetLastError());
    return false;
  }
  const bool ok = WaitFor(seconds, [&] {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::DispatchMessageW(&message);
    }
    return check(received_rows);
  });
  ::UnhookWindowsHookEx(hook);
  ::DestroyWindow(receiver);
  return ok;
}

// The cells of a row.
std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t at = 0;
  for (;;) {
    const std::size_t bar = line.find(" | ", at);
    cells.push_back(line.substr(at, bar - at));
    if (bar == std::string::npos) {
      return cells;
    }
    at = bar + 3;
  }
}

void Key(WORD key) {
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ::SendInput(2, input, sizeof(INPUT));
  ::Sleep(300);
}

// Opens the window menu as Alt+Space does, then picks an item counted from its end.
void ChooseFromWindowMenu(HWND window, int up_from_last) {
  ::SetForegroundWindow(window);
  ::PostMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, ' ');
  ::Sleep(1000);
  Key(VK_END);
  for (int i = 0; i < up_from_last; ++i) {
    Key(VK_UP);
  }
  Key(VK_RETURN);
}

BOOL CALLBACK FindDetailsWindow(HWND window, LPARAM result) {
  wchar_t title[256] = {};
  const int length = ::GetWindowTextW(window, title, 256);
  const int end_length = static_cast<int>(std::wcslen(kDetailsTitleEnd));
  if (::IsWindowVisible(window) && length > end_length &&
      std::wcscmp(title + length - end_length, kDetailsTitleEnd) == 0) {
    *reinterpret_cast<HWND*>(result) = window;
    return FALSE;
  }
  return TRUE;
}

// The first visible top-level window whose title ends with kDetailsTitleEnd.
HWND DetailsWindow() {
  HWND found = nullptr;
  ::EnumWindows(FindDetailsWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

// The cells of the first row, or of the row whose first cell is host when one is given.
std::vector<std::string> FindRow(const std::string& rows, const std::string& host) {
  std::size_t at = 0;
  while (at < rows.size()) {
    const std::size_t end = rows.find('\n', at);
    std::vector<std::string> cells = Cells(rows.substr(at, end - at));
    if (host.empty() || cells.front() == host) {
      return cells;
    }
    if (end == std::string::npos) {
      break;
    }
    at = end + 1;
  }
  return {};
}

// The texts the hook sent after the rows: the lines that begin with '#'.
std::string Texts(const std::string& rows) {
  std::string texts;
  for (std::size_t at = rows.find('#'); at != std::string::npos; at = rows.find("\n#", at)) {
    at += rows[at] == '\n' ? 1 : 0;
    const std::size_t end = rows.find('\n', at);
    texts += rows.substr(at, end == std::string::npos ? end : end - at + 1);
  }
  return texts;
}

// Argument number of the command line in UTF-8, as the window's texts come: argv is in
// the ANSI code page, which has no room for Chinese.
std::string Utf8Argument(int number) {
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::string utf8;
  if (arguments != nullptr && number < count) {
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, arguments[number], -1, nullptr, 0, nullptr, nullptr);
    if (bytes > 1) {
      utf8.resize(static_cast<std::size_t>(bytes - 1));
      ::WideCharToMultiByte(CP_UTF8, 0, arguments[number], -1, &utf8[0], bytes, nullptr, nullptr);
    }
  }
  ::LocalFree(arguments);
  return utf8;
}

int Fail(const char* what) {
  std::fprintf(stderr, "lumoret_probe: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return Fail(
        "usage: lumoret_probe window|replies|text|gone|about|help|details|foreground|close "
        "[seconds [host|string]]");
  }
  const std::string command = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 30.0;
  const std::string operand = argc > 3 ? Utf8Argument(3) : "";
  if (command == "window") {
    return WaitFor(seconds, [] { return MainWindow() != nullptr; }) ? 0 : Fail("no window");
  }
  if (command == "gone") {
    return WaitFor(seconds, [] { return MainWindow() == nullptr; }) ? 0 : Fail("window stays");
  }
  HWND window = MainWindow();
  if (window == nullptr) {
    return Fail("no window titled Lumoret");
  }
  if (command == "replies") {
    const bool ok = WatchRows(window, seconds, [&operand](const std::string& rows) {
      const std::vector<std::string> cells = FindRow(rows, operand);
      return cells.size() == 9 && std::atoi(cells[7].c_str()) >= 2;
    });
    std::printf("%s", received_rows.substr(0, received_rows.find('#')).c_str());
    return ok ? 0 : Fail("the row got no replies");
  }
  if (command == "text") {
    const bool ok = WatchRows(window, seconds, [&operand](const std::string& rows) {
      return Texts(rows).find(operand) != std::string::npos;
    });
    std::printf("%s", Texts(received_rows).c_str());
    return ok ? 0 : Fail("no text of the window holds the string");
  }
  if (command == "about") {
    ChooseFromWindowMenu(window, 0);
    HWND about = nullptr;
    if (!WaitFor(seconds,
                 [&] { return (about = ::FindWindowW(nullptr, kAboutTitle)) != nullptr; })) {
      return Fail("the window menu's last item opened no About box");
    }
    ::SetForegroundWindow(about);
    Key(VK_ESCAPE);
    return WaitFor(seconds, [] { return ::FindWindowW(nullptr, kAboutTitle) == nullptr; })
               ? 0
               : Fail("Esc left the About box open");
  }
  if (command == "help") {
    ChooseFromWindowMenu(window, 1);
    HWND notepad = nullptr;
    if (!WaitFor(seconds,
                 [&] { return (notepad = ::FindWindowA("Notepad", nullptr)) != nullptr; })) {
      return Fail("the Help item started no Notepad");
    }
    // Notepad names the file it opened in its title once it has read it.
    char title[256] = {};
    const bool opened = WaitFor(seconds, [&] {
      ::GetWindowTextA(notepad, title, sizeof title);
      return std::strstr(title, "ReadMe") != nullptr;
    });
    std::printf("notepad: %s\n", title);
    ::PostMessageW(notepad, WM_CLOSE, 0, 0);
    return opened ? 0 : Fail("Notepad did not open ReadMe.txt");
  }
  if (command == "details") {
    // Home selects the first row, the Menu key opens the list's context menu, D its
    // details item.
    ::SetForegroundWindow(window);
    ::Sleep(500);
    Key(VK_HOME);
    Key(VK_APPS);
    ::Sleep(700);
    Key('D');
    HWND details = nullptr;
    if (!WaitFor(seconds, [&] { return (details = DetailsWindow()) != nullptr; })) {
      return Fail("the context menu's details item opened no details window");
    }
    ::PostMessageW(details, WM_CLOSE, 0, 0);
    if (WaitFor(seconds, [] { return DetailsWindow() == nullptr; })) {
      return 0;
    }
    std::fprintf(stderr, "lumoret_probe: closed %p, still open %p\n", static_cast<void*>(details),
                 static_cast<void*>(DetailsWindow()));
    return Fail("the details window did not close");
  }
  if (command == "foreground") {
    return WaitFor(seconds, [&] { return ::GetForegroundWindow() == window; })
               ? 0
               : Fail("the window is not in the foreground");
  }
  if (command == "close") {
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
  }
  return Fail("unknown command");
}
