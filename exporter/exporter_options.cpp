#include "exporter/exporter_options.h"

ExporterOptions ExporterOptions::Parse(const std::vector<std::string>& /*arguments*/) {
  return {};  // Written on its own branch.
}

std::string ExporterOptions::Usage() {
  return {};
}
