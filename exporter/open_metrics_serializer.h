#ifndef LUMORET_EXPORTER_OPEN_METRICS_SERIALIZER_H
#define LUMORET_EXPORTER_OPEN_METRICS_SERIALIZER_H

#include <ostream>
#include <vector>

#include <prometheus/metric_family.h>
#include <prometheus/serializer.h>

// The OpenMetrics 1.0 text format, which prometheus-cpp does not write: counters typed
// without their _total suffix, units declared, "# EOF" closing the exposition. Families
// may be written one call at a time; WriteEnd closes the whole.
class OpenMetricsSerializer : public prometheus::Serializer {
 public:
  // The content type a scrape of this format answers with.
  static constexpr char kContentType[] =
      "application/openmetrics-text; version=1.0.0; charset=utf-8";
  using prometheus::Serializer::Serialize;
  // Writes families, without the closing "# EOF".
  void Serialize(std::ostream& out,
                 const std::vector<prometheus::MetricFamily>& families) const override;
  // Writes one family, for a caller that holds one at a time (MetricsCollector::CollectEach).
  static void WriteFamily(std::ostream& out, const prometheus::MetricFamily& family);
  // Writes the closing "# EOF" line.
  static void WriteEnd(std::ostream& out);
};

#endif  // LUMORET_EXPORTER_OPEN_METRICS_SERIALIZER_H
