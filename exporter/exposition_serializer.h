#ifndef LUMORET_EXPORTER_EXPOSITION_SERIALIZER_H
#define LUMORET_EXPORTER_EXPOSITION_SERIALIZER_H

#include <ostream>
#include <vector>

#include <prometheus/metric_family.h>
#include <prometheus/serializer.h>

#include "exporter/content_negotiation.h"

// The two text formats a scrape may ask for, written from prometheus-cpp's families without
// a stream's own number formatting (too slow for 10,000 hosts): Prometheus' text format
// 0.0.4, and OpenMetrics 1.0 (counters typed without their _total suffix, units declared,
// "# EOF" closing the exposition). Families may be written one call at a time.
class ExpositionSerializer : public prometheus::Serializer {
 public:
  using Format = ContentNegotiation::Format;
  // The content type a scrape of OpenMetrics answers with.
  static constexpr char kOpenMetricsType[] =
      "application/openmetrics-text; version=1.0.0; charset=utf-8";
  // The content type of Prometheus' text format.
  static constexpr char kTextType[] = "text/plain; version=0.0.4; charset=utf-8";
  // A serializer of format.
  explicit ExpositionSerializer(Format format) : format_(format) {}
  using prometheus::Serializer::Serialize;
  // Writes families, without OpenMetrics' closing "# EOF".
  void Serialize(std::ostream& out,
                 const std::vector<prometheus::MetricFamily>& families) const override;
  // Writes one family, for a caller that holds one at a time (MetricsCollector::CollectEach).
  static void WriteFamily(std::ostream& out, const prometheus::MetricFamily& family, Format format);
  // Ends the exposition: OpenMetrics' "# EOF" line; nothing in the text format.
  static void WriteEnd(std::ostream& out, Format format);

 private:
  Format format_;  // what Serialize writes
};

#endif  // LUMORET_EXPORTER_EXPOSITION_SERIALIZER_H
