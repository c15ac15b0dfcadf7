#include "exporter/exporter.h"

Exporter::Exporter(const ExporterOptions& options) : options_(options) {}

int Exporter::Run() {
  return 0;
}  // Written on its own branch.
