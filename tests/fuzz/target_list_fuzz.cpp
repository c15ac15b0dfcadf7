// Any bytes as config.ini: the reader must end, and every host it returns is non-empty
// text without a line end, '#' or NUL, no longer than a line may be. What it refuses, it
// refuses for a line too long or too many targets, nothing else.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "engine/config_error.h"
#include "engine/target_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    for (const std::string& host : ReadTargetList(in)) {
      if (host.empty() || host.size() > 65535 ||
          host.find_first_of(std::string("#\n\0", 3)) != std::string::npos) {
        __builtin_trap();
      }
    }
  } catch (const ConfigError& e) {
    if (e.kind != ConfigError::Kind::kLineTooLong && e.kind != ConfigError::Kind::kTooManyTargets) {
      __builtin_trap();
    }
  }
  return 0;
}
