// Any bytes as config.ini: the line model reads the hosts ReadTargetList reads and gives
// the text back byte for byte; after a host is removed, one inserted and one replaced,
// the hosts are what those steps make of the list, ReadTargetList still reads them from
// the text, and every line without a host is still there, in order.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "engine/config_error.h"
#include "engine/config_file.h"
#include "engine/target_list.h"

namespace {

std::vector<std::string> Read(const std::string& text) {
  std::istringstream in(text);
  return ReadTargetList(in);
}

// The lines of text that define no host, as ReadTargetList sees them (a CR before an LF
// is the line end's).
std::vector<std::string> LinesWithoutHost(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!in.eof() && !line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (Read(line).empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

void Check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    ConfigFile config = ConfigFile::Parse(text, "config.ini");
    std::vector<std::string> hosts = config.Hosts();
    Check(hosts == Read(text) && config.Text() == text && config.size() == hosts.size());
    const std::vector<std::string> kept = LinesWithoutHost(text);
    const std::size_t pick = size > 0 ? data[0] : 0;
    if (!hosts.empty()) {
      config.Remove({pick % hosts.size()});
      hosts.erase(hosts.begin() + static_cast<std::ptrdiff_t>(pick % hosts.size()));
    }
    const std::size_t at = pick % (hosts.size() + 1);
    config.Insert(at, {"new.example", " spaced "});
    hosts.insert(hosts.begin() + static_cast<std::ptrdiff_t>(at), {"new.example", " spaced "});
    config.Replace(hosts.size() - 1 - at % hosts.size(), "edited.example");
    hosts[hosts.size() - 1 - at % hosts.size()] = "edited.example";
    const std::string changed = config.Text();
    Check(config.Hosts() == hosts && Read(changed) == hosts && LinesWithoutHost(changed) == kept);
  } catch (const ConfigError& e) {
    Check(e.kind == ConfigError::Kind::kLineTooLong ||
          e.kind == ConfigError::Kind::kTooManyTargets);
  }
  return 0;
}
