// lumoret-exporter: Lumoret's engine without a window, serving its figures to Prometheus.
#include "exporter/exporter.h"

int main(int /*argc*/, char** /*argv*/) {
  return 0;  // Written on its own branch.
}
