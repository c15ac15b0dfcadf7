#include "exporter/process_figures.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Fields of /proc/self/stat counted from the one after the command's closing parenthesis
// (field 3, the state): see proc(5).
constexpr std::size_t kUserTime = 11;    // utime, clock ticks
constexpr std::size_t kSystemTime = 12;  // stime, clock ticks
constexpr std::size_t kStartTime = 19;   // starttime, clock ticks after boot
constexpr std::size_t kVirtual = 20;     // vsize, bytes
constexpr std::size_t kResident = 21;    // rss, pages

// The fields after the command, which may itself hold spaces and parentheses: the last
// ')' ends it. Empty when the text is not a stat line.
std::vector<std::string> StatFields() {
  std::string line;
  std::getline(std::ifstream("/proc/self/stat"), line);
  const auto end_of_command = line.rfind(')');
  std::vector<std::string> fields;
  if (end_of_command == std::string::npos) {
    return fields;
  }
  std::istringstream rest(line.substr(end_of_command + 1));
  for (std::string field; rest >> field;) {
    fields.push_back(field);
  }
  return fields;
}

// The field as a number; none when missing or not a number.
std::optional<double> Number(const std::vector<std::string>& fields, std::size_t index) {
  if (index >= fields.size()) {
    return std::nullopt;
  }
  char* end = nullptr;
  const double value = std::strtod(fields[index].c_str(), &end);
  if (end == fields[index].c_str() || *end != '\0') {
    return std::nullopt;
  }
  return value;
}

// When the system booted, Unix time (/proc/stat's btime).
std::optional<double> BootTime() {
  std::ifstream stat("/proc/stat");
  for (std::string line; std::getline(stat, line);) {
    if (line.rfind("btime ", 0) == 0) {
      return std::strtod(line.c_str() + std::strlen("btime "), nullptr);
    }
  }
  return std::nullopt;
}

// Descriptors open, not counting the one that reads the list.
std::optional<double> OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    return std::nullopt;
  }
  double count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  ::closedir(dir);
  return count - 1;
}

}  // namespace

ProcessFigures ProcessFigures::Read() {
  ProcessFigures figures;
  const std::vector<std::string> fields = StatFields();
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const auto user = Number(fields, kUserTime);
  const auto system = Number(fields, kSystemTime);
  if (user && system && ticks > 0) {
    figures.cpu_seconds = (*user + *system) / ticks;
  }
  figures.virtual_bytes = Number(fields, kVirtual);
  if (const auto pages = Number(fields, kResident)) {
    figures.resident_bytes = *pages * static_cast<double>(::sysconf(_SC_PAGESIZE));
  }
  // The start never changes: /proc/stat is read once.
  static const std::optional<double> boot_time = BootTime();
  const auto start = Number(fields, kStartTime);
  if (start && boot_time && ticks > 0) {
    figures.start_time_seconds = *boot_time + *start / ticks;
  }
  figures.open_fds = OpenDescriptors();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    figures.max_fds = static_cast<double>(limit.rlim_cur);
  }
  return figures;
}
