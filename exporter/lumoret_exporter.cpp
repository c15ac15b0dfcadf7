// lumoret-exporter: Lumoret's engine without a window, serving its figures to Prometheus.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "exporter/exporter.h"

namespace {

// Exit status of a command line that cannot be used.
constexpr int kUsageStatus = 2;

}  // namespace

int main(int argc, char** argv) {
  ExporterOptions options;
  try {
    options = ExporterOptions::Parse(std::vector<std::string>(argv + (argc > 0), argv + argc));
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr,
                 "lumoret-exporter: %s\nTry 'lumoret-exporter --help' for more information.\n",
                 e.what());
    return kUsageStatus;
  }
  if (options.help) {
    std::fputs(ExporterOptions::Usage().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("lumoret-exporter %s\n", LUMORET_VERSION);
    return 0;
  }
  return Exporter(options).Run();
}
