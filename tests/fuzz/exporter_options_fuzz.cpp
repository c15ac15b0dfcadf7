// Any bytes as lumoret-exporter's arguments (split at NUL): the parser accepts or throws
// std::invalid_argument, nothing else; what it accepts is within the options' bounds, and
// written back as --option=VALUE, then as --option VALUE, it reads the same again.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "exporter/exporter_options.h"

namespace {

void Check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, '\0');) {
    parts.push_back(part);
  }
  return parts;
}

std::string Bounds(const DelayHistogram::Bounds& bounds) {
  std::ostringstream list;
  list.precision(17);
  for (const double& bound : bounds) {
    list << (&bound == &bounds.front() ? "" : ",") << bound;
  }
  return list.str();
}

// options as a command line: --option=VALUE, or --option VALUE when split.
std::vector<std::string> Write(const ExporterOptions& options, bool split) {
  const std::vector<std::pair<std::string, std::string>> pairs{
      {"--config", options.config},
      {"--web.listen-address", options.server.listen_address},
      {"--buckets", Bounds(options.buckets)},
      {"--web.max-connections", std::to_string(options.server.max_connections)},
      {"--web.idle-timeout", std::to_string(options.server.idle_timeout.count() / 1000)},
      {"--resolve-minutes", std::to_string(options.resolve_minutes)}};
  std::vector<std::string> arguments;
  for (const auto& [option, value] : pairs) {
    if (split) {
      arguments.insert(arguments.end(), {option, value});
    } else {
      arguments.push_back(option + "=" + value);
    }
  }
  return arguments;
}

// Equal as command lines: %.17g writes each bound back exactly.
bool Same(const ExporterOptions& a, const ExporterOptions& b) {
  return Write(a, false) == Write(b, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ExporterOptions options;
  try {
    options = ExporterOptions::Parse(Split(std::string(reinterpret_cast<const char*>(data), size)));
  } catch (const std::invalid_argument&) {
    return 0;
  }
  Check(!options.config.empty() && !options.buckets.empty());
  Check(options.server.max_connections >= 1 && options.server.max_connections <= 256);
  Check(options.server.idle_timeout.count() >= 1000 &&
        options.server.idle_timeout.count() <= 3600 * 1000);
  Check(options.resolve_minutes >= 0 && options.resolve_minutes <= 1440);
  // A --config value that begins with '-' reads as an option when split from its flag.
  const bool splits = options.config[0] != '-' && options.server.listen_address[0] != '-';
  Check(Same(ExporterOptions::Parse(Write(options, false)), options));
  Check(!splits || Same(ExporterOptions::Parse(Write(options, true)), options));
  return 0;
}
