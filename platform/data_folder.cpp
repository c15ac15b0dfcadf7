#include "platform/data_folder.h"

#include <cstdlib>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

// The variable's value, or empty when it is unset or empty.
std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string UserDataFolder() {
#ifdef _WIN32
  const std::string local = Variable("LOCALAPPDATA");
  return local.empty() ? std::string() : local + "\\Lumoret";
#else
  // The XDG rule: a relative XDG_DATA_HOME is invalid and ignored.
  const std::string data = Variable("XDG_DATA_HOME");
  if (!data.empty() && data[0] == '/') {
    return data + "/lumoret";
  }
  std::string home = Variable("HOME");
  if (home.empty()) {
    if (const passwd* entry = getpwuid(getuid())) {
      home = entry->pw_dir != nullptr ? entry->pw_dir : "";
    }
  }
  return home.empty() ? std::string() : home + "/.local/share/lumoret";
#endif
}

}  // namespace platform
