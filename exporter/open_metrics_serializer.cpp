#include "exporter/open_metrics_serializer.h"

void OpenMetricsSerializer::Serialize(
    std::ostream& /*out*/, const std::vector<prometheus::MetricFamily>& /*families*/) const {
  // Written on its own branch.
}

void OpenMetricsSerializer::WriteEnd(std::ostream& out) {
  out << "# EOF\n";
}
