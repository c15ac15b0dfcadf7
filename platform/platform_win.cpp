#include "platform/platform.h"

// winsock2.h before windows.h, which would otherwise pull in the old winsock.h; both
// before the headers that build on them.
#include <winsock2.h>
// (kept apart so include sorting cannot reorder them)
#include <windows.h>

#include <process.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

namespace platform {
namespace {

HANDLE instance_mutex = nullptr;   // its existence is the lock; nobody waits on it
volatile LONG quit_requested = 0;  // set by the console's close and break events

}  // namespace

unsigned long GetPid() {
  return static_cast<unsigned long>(::_getpid());
}

void EnlargeReceiveBuffer(int socket, int bytes) {
  // Winsock has no system-wide cap to get past; asking is all there is to do.
  ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

// Winsock stamps received datagrams only for UDP, and only from Windows 10 on: replies
// are timed when the worker reads them.
void EnableReceiveTimestamps(int /*socket*/) {}

// Winsock tells no count of datagrams dropped for want of room.
void EnableDropCounts(int /*socket*/) {}

std::optional<std::uint32_t> ReadDropCount(int /*socket*/) {
  return std::nullopt;
}

// Winsock has no socket filter: every datagram arrives and is sorted out on receipt.
bool AcceptOnlyEchoReplies(int /*socket*/, std::uint16_t /*first_identifier*/,
                           std::uint32_t /*count*/) {
  return false;
}

bool LockSocketFilter(int /*socket*/) {
  return false;
}

std::error_code SendDatagram(int socket, const void* data, std::size_t length, const void* address,
                             std::size_t address_length) {
  // The socket was made non-blocking when the engine took it over.
  const int sent = ::sendto(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                            static_cast<int>(length), 0, static_cast<const sockaddr*>(address),
                            static_cast<int>(address_length));
  return sent == SOCKET_ERROR ? std::error_code(::WSAGetLastError(), std::system_category())
                              : std::error_code();
}

void CloseSocket(int socket) {
  ::closesocket(static_cast<SOCKET>(socket));
}

int ReceiveDatagrams(int socket, unsigned char* slots, std::size_t slot_size,
                     ReceivedDatagram* datagrams, int count, std::error_code& error) {
  count = count < kMaxReceiveBatch ? count : kMaxReceiveBatch;
  int received = 0;
  for (; received < count; ++received) {
    char* slot = reinterpret_cast<char*>(slots + static_cast<std::size_t>(received) * slot_size);
    const int length = ::recv(static_cast<SOCKET>(socket), slot, static_cast<int>(slot_size), 0);
    if (length == SOCKET_ERROR) {
      const int code = ::WSAGetLastError();
      // A datagram longer than its slot arrives cut short, which is all the decoder needs.
      if (code == WSAEMSGSIZE) {
        datagrams[received] = {slot_size, std::nullopt};
        continue;
      }
      if (code == WSAEWOULDBLOCK || received > 0) {
        break;
      }
      error.assign(code, std::system_category());
      return -1;
    }
    datagrams[received] = {static_cast<std::size_t>(length), std::nullopt};
  }
  return received;
}

InstanceState AcquireInstance(const std::string& name) {
  if (instance_mutex != nullptr) {
    return InstanceState::kOnly;
  }
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return InstanceState::kOtherRunning;
  }
  // A mutex that could not be made at all (null) counts as kOnly: better two windows
  // than none.
  instance_mutex = mutex;
  return InstanceState::kOnly;
}

void ActivateOtherInstance(const std::string& /*name*/, const std::string& title) {
  // Windows lets us raise the other process's window ourselves; nothing is restored.
  HWND window = ::FindWindowA(nullptr, title.c_str());
  if (window != nullptr) {
    ::SetForegroundWindow(window);
  }
}

// Nobody asks through us: a later start raises the window itself.
bool ActivationRequested() {
  return false;
}

void ReleaseInstance() {
  if (instance_mutex != nullptr) {
    ::CloseHandle(instance_mutex);
    instance_mutex = nullptr;
  }
}

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

int OpenRawIcmpSocket(IpFamily family) {
  if (family == IpFamily::kV6) {
    throw RightsError(RightsError::Step::kOpenSocket, EAFNOSUPPORT,
                      "ICMPv6 is not probed on Windows");
  }
  WSADATA data;
  const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
  if (started != 0) {
    throw RightsError(RightsError::Step::kOpenSocket, started, "starting Windows Sockets");
  }
  const SOCKET fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (fd == INVALID_SOCKET) {
    const int error = ::WSAGetLastError();
    // Winsock's codes are not errno values; the one for missing rights is mapped so that
    // the message names the cause.
    throw RightsError(RightsError::Step::kOpenSocket, error == WSAEACCES ? EACCES : error,
                      "opening the raw ICMP socket");
  }
  return static_cast<int>(fd);
}

// Winsock has no unprivileged ICMP socket; the manifest asks for the raw socket's rights.
int OpenDatagramIcmpSocket(IpFamily /*family*/) {
  throw RightsError(RightsError::Step::kOpenSocket, EAFNOSUPPORT,
                    "ICMP datagram sockets are not available on Windows");
}

// Winsock has no such limit to raise.
bool RaiseDescriptorLimit() {
  return false;
}

SocketKind GetSocketKind(int /*socket*/) {
  return SocketKind::kRaw;
}

// The manifest asks for the rights up front, and Windows has no capability to give up
// once the socket is open.
void DropPrivileges(Rights /*rights*/) {}

// Windows has no file capabilities and no GTK: the program opens its raw socket itself.
bool RawSocketsInProcess() {
  return true;
}

std::string IcmpHelperPath() {
  return std::string();
}

IcmpRelays StartIcmpHelper(const std::string& /*path*/) {
  IcmpRelays relays;
  relays.v4_error.assign(ENOSYS, std::generic_category());
  return relays;
}

namespace {

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

std::error_code WriteFileReplacing(const std::string& path, const std::string& text) {
  // A short name in the same folder, so that it fits wherever the file's own name fits.
  const std::size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string temporary = folder + "~lumoret" + std::to_string(::_getpid()) + ".tmp";
  {
    // Text mode: each line feed is stored as CR LF.
    std::ofstream out(temporary);
    out << text;
    out.close();
    if (!out) {
      const int error = errno != 0 ? errno : EIO;
      std::remove(temporary.c_str());
      return std::error_code(error, std::generic_category());
    }
  }
  if (!::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const DWORD error = ::GetLastError();
    std::remove(temporary.c_str());
    return std::error_code(static_cast<int>(error), std::system_category());
  }
  return std::error_code();
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
