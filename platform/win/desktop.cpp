#include "platform/desktop.h"

#include <windows.h>

#include <shellapi.h>

#include <filesystem>
#include <vector>

#include "platform/data_folder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// The sample config.ini installed beside the program, copied for a user who has none.
constexpr char kSampleConfig[] = "config.sample.ini";

// The folder Lumoret.exe was started from; empty when the system does not say.
fs::path ProgramFolder() {
  // Long paths (\\?\ prefixed) may exceed MAX_PATH: the buffer grows until the name fits.
  std::vector<wchar_t> name(MAX_PATH);
  for (int tries = 0; tries < 4; ++tries) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) {
      return fs::path();
    }
    if (length < name.size()) {
      return fs::path(std::wstring(name.data(), length)).parent_path();
    }
    name.resize(name.size() * 4);
  }
  return fs::path();
}

// The file Notepad gets for file: the working folder's copy, or else the one installed
// beside the program (the working folder is the user's config folder after a start from
// the Start menu).
fs::path HelpFilePath(const std::string& file) {
  std::error_code error;
  const fs::path local = fs::absolute(fs::u8path(file), error);
  if (!error && fs::exists(local, error)) {
    return local;
  }
  const fs::path installed = ProgramFolder() / fs::u8path(file);
  return fs::exists(installed, error) ? installed : local;
}

}  // namespace

HelpOpener OpenHelpFile(const std::string& file) {
  HelpOpener opener;
  const fs::path path = HelpFilePath(file);
  opener.path = path.u8string();
  // Quoted: the program's folder is usually under "Program Files".
  const std::wstring parameters = L"\"" + path.wstring() + L"\"";
  // The window the command came from owns the editor. ShellExecute reports at once:
  // a value above 32 means the editor was started.
  const HINSTANCE result = ::ShellExecuteW(::GetActiveWindow(), L"open", L"notepad.exe",
                                           parameters.c_str(), L"", SW_SHOWNORMAL);
  opener.state = reinterpret_cast<INT_PTR>(result) > 32 ? HelpState::kOpened : HelpState::kFailed;
  return opener;
}

// ShellExecute has reported already.
void CheckHelpOpener(HelpOpener& /*opener*/) {}
void ForgetHelpOpener(HelpOpener& /*opener*/) {}

// A start from the Start menu, or from a folder the user cannot write such as Program
// Files, finds no config.ini: it works in %APPDATA%\Lumoret instead, seeded from the sample.
bool EnterWorkingFolder() {
  const std::string folder = UserConfigFolder();
  const fs::path program = ProgramFolder();
  // Without its own folder the program has no sample; the engine's default then serves.
  const fs::path sample = program.empty() ? fs::path() : program / kSampleConfig;
  return !folder.empty() && MoveToConfigFolder(fs::u8path(folder), sample);
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
