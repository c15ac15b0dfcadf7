#include "platform/data_folder.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/file_write.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

namespace fs = std::filesystem;

// The file the program reads its hosts from, in the working folder.
constexpr char kConfigFile[] = "config.ini";
// A sample larger than this is not a sample: it is not copied.
constexpr std::streamoff kMaxSampleBytes = 1 << 20;

// True when the working folder has a config.ini (or something by that name: a link to
// elsewhere, or one the engine will refuse with its reason).
bool HasConfig() {
  std::error_code error;
  return fs::symlink_status(kConfigFile, error).type() != fs::file_type::not_found;
}

// Writes sample's text to config.ini in the working folder; a sample that is missing,
// unreadable or too large leaves nothing behind.
void CopySample(const fs::path& sample) {
  // Text mode: the line ends of a sample edited in Notepad become line feeds here and
  // the platform's again when written.
  std::ifstream in(sample);
  if (!in.is_open() || !in.seekg(0, std::ios::end) || in.tellg() > kMaxSampleBytes ||
      !in.seekg(0, std::ios::beg)) {
    return;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.bad()) {
    WriteFileReplacing(kConfigFile, text);
  }
}

#ifdef _WIN32
// The variable's value in UTF-8 (the narrow environment is in the ANSI code page, which
// cannot hold every user name), or empty when it is unset or empty.
std::string WideVariable(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  if (value == nullptr || *value == L'\0') {
    return std::string();
  }
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) {
    return std::string();
  }
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, value, -1, &utf8[0], bytes, nullptr, nullptr);
  utf8.pop_back();  // the terminating NUL
  return utf8;
}
#else
// The variable's value, or empty when it is unset or empty.
std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// The user's home folder: $HOME, else the password database's; empty when neither says.
std::string HomeFolder() {
  std::string home = Variable("HOME");
  if (home.empty()) {
    if (const passwd* entry = getpwuid(getuid())) {
      home = entry->pw_dir != nullptr ? entry->pw_dir : "";
    }
  }
  return home;
}

// The XDG rule for a base folder: variable when it holds an absolute path (a relative one
// is invalid and ignored), else fallback under the home folder; with "/lumoret" after it.
std::string XdgFolder(const char* variable, const char* fallback) {
  const std::string base = Variable(variable);
  if (!base.empty() && base[0] == '/') {
    return base + "/lumoret";
  }
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + fallback + "/lumoret";
}
#endif

}  // namespace

std::string UserDataFolder() {
#ifdef _WIN32
  const std::string local = WideVariable(L"LOCALAPPDATA");
  return local.empty() ? std::string() : local + "\\Lumoret";
#else
  return XdgFolder("XDG_DATA_HOME", "/.local/share");
#endif
}

std::string UserConfigFolder() {
#ifdef _WIN32
  const std::string roaming = WideVariable(L"APPDATA");
  return roaming.empty() ? std::string() : roaming + "\\Lumoret";
#else
  return XdgFolder("XDG_CONFIG_HOME", "/.config");
#endif
}

bool MoveToConfigFolder(const fs::path& folder, const fs::path& sample) {
  if (HasConfig()) {
    return false;
  }
  std::error_code error;
  fs::create_directories(folder, error);
  fs::current_path(folder, error);
  if (error) {
    return false;
  }
  // Checked again in the new folder: an earlier start left the user's own copy there.
  if (!HasConfig()) {
    CopySample(sample);
  }
  return true;
}

}  // namespace platform
