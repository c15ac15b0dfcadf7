// Any bytes as the user's settings file: reading it must end without a crash, every
// setting it yields lies in its range, and what it tells is a few lines, each one line.
#include <unistd.h>
#include <wx/init.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ui/lumoret_settings.h"
#include "ui/settings_file.h"

namespace {

bool InRange(long value, SettingRange range) {
  return value >= range.low && value <= range.high;
}

// The file each input is written to, in a folder of this process's own.
std::string FilePath() {
  static const std::string path = [] {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("lumoret-settings-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    static const std::filesystem::path made = folder;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made, ignored);
    });
    return (folder / "lumoret.conf").string();
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static wxInitializer toolkit;  // the log reaches its target only on the main thread
  const std::string path = FilePath();
  std::filesystem::remove(path + ".bad");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  std::vector<std::string> problems;
  const auto file = SettingsFile::Open(path, &problems);
  const LumoretSettings settings = LoadSettings(*file, &problems);
  const HostStateRules& rules = settings.rules;
  if (!InRange(rules.down_after_lost, kDownAfterLostRange) ||
      !InRange(rules.window, kWindowRange) ||
      !InRange(rules.lossy_loss_percent, kLossPercentRange) ||
      !InRange(rules.lossy_delay_ms, kDelayMsRange)) {
    __builtin_trap();
  }
  // One for the file, the toolkit's few and their count, one per setting.
  if (problems.size() > 1 + SettingsFile::kToldLines + 1 + 8) {
    __builtin_trap();
  }
  for (const std::string& line : problems) {
    if (line.find('\n') != std::string::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
