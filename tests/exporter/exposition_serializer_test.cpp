#include "exporter/exposition_serializer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

using Format = ExpositionSerializer::Format;

std::string Text(const std::vector<MetricFamily>& families, Format format = Format::kOpenMetrics) {
  std::ostringstream out;
  ExpositionSerializer(format).Serialize(out, families);
  ExpositionSerializer::WriteEnd(out, format);
  return out.str();
}

ClientMetric HostMetric(const std::string& host, const std::string& ip) {
  ClientMetric metric;
  metric.label = {{"host", host}, {"ip", ip}};
  return metric;
}

// Counters are typed without _total and sampled with it; units are declared for seconds
// and bytes; help texts and label values have backslash, quote and line feed escaped.
TEST(ExpositionSerializerTest, CountersGaugesUnitsAndEscaping) {
  MetricFamily requests{
      "lumoret_requests_total", "Echo \"requests\" sent\\\nper host.", MetricType::Counter, {}};
  requests.metric.push_back(HostMetric("a\"b\\c\nd", "192.0.2.1"));
  requests.metric.back().counter.value = 12345678901;
  requests.metric.push_back(HostMetric("pending.example", ""));
  MetricFamily cpu{"process_cpu_seconds_total", "CPU.", MetricType::Counter, {}};
  cpu.metric.emplace_back().counter.value = 0.25;
  MetricFamily memory{"process_resident_memory_bytes", "", MetricType::Gauge, {}};
  memory.metric.emplace_back().gauge.value = 1.5e9;
  MetricFamily odd{"odd_values", "", MetricType::Gauge, {}};
  for (const double value :
       {std::nan(""), -std::numeric_limits<double>::infinity(), 1e20, 1.0 / 3}) {
    odd.metric.emplace_back().gauge.value = value;
  }
  MetricFamily legacy{"legacy_thing", "", MetricType::Untyped, {}};
  legacy.metric.emplace_back().untyped.value = 7;
  legacy.metric.back().timestamp_ms = 1700000000123;

  EXPECT_EQ(Text({requests, cpu, memory, odd, legacy}),
            "# HELP lumoret_requests Echo \\\"requests\\\" sent\\\\\\nper host.\n"
            "# TYPE lumoret_requests counter\n"
            "lumoret_requests_total{host=\"a\\\"b\\\\c\\nd\",ip=\"192.0.2.1\"} 12345678901\n"
            "lumoret_requests_total{host=\"pending.example\",ip=\"\"} 0\n"
            "# HELP process_cpu_seconds CPU.\n"
            "# TYPE process_cpu_seconds counter\n"
            "# UNIT process_cpu_seconds seconds\n"
            "process_cpu_seconds_total 0.25\n"
            "# TYPE process_resident_memory_bytes gauge\n"
            "# UNIT process_resident_memory_bytes bytes\n"
            "process_resident_memory_bytes 1500000000\n"
            "# TYPE odd_values gauge\n"
            "odd_values NaN\n"
            "odd_values -Inf\n"
            "odd_values 1e+20\n"
            "odd_values 0.3333333333333333\n"
            "# TYPE legacy_thing unknown\n"
            "legacy_thing 7 1700000000.123\n"
            "# EOF\n");
}

// The text format names and types a counter by its whole name, declares no unit, escapes
// no quote in help texts, counts timestamps in ms and has no end line.
TEST(ExpositionSerializerTest, PrometheusTextFormat) {
  MetricFamily requests{
      "lumoret_requests_total", "Echo \"requests\"\nsent.", MetricType::Counter, {}};
  requests.metric.push_back(HostMetric("a\"b", "192.0.2.1"));
  requests.metric.back().counter.value = 3;
  MetricFamily legacy{"legacy_thing_seconds", "", MetricType::Untyped, {}};
  legacy.metric.emplace_back().untyped.value = 0.5;
  legacy.metric.back().timestamp_ms = 1700000000123;

  EXPECT_EQ(Text({requests, legacy}, Format::kPrometheusText),
            "# HELP lumoret_requests_total Echo \"requests\"\\nsent.\n"
            "# TYPE lumoret_requests_total counter\n"
            "lumoret_requests_total{host=\"a\\\"b\",ip=\"192.0.2.1\"} 3\n"
            "# TYPE legacy_thing_seconds untyped\n"
            "legacy_thing_seconds 0.5 1700000000123\n");
}

// Buckets carry le in canonical form, end with +Inf whether or not it was given, and are
// followed by _count and _sum.
TEST(ExpositionSerializerTest, HistogramBucketsInCanonicalForm) {
  MetricFamily delays{"lumoret_reply_delay_seconds", "Delays.", MetricType::Histogram, {}};
  ClientMetric& given = delays.metric.emplace_back(HostMetric("h", "::1"));
  given.histogram.bucket = {{1, 0.00001}, {2, 0.00025}, {3, 1}, {4, 123456}, {5, 1e6}};
  given.histogram.sample_count = 6;
  given.histogram.sample_sum = 0.0625;
  ClientMetric& closed = delays.metric.emplace_back(HostMetric("i", "192.0.2.2"));
  closed.histogram.bucket = {{0, 2}, {0, std::numeric_limits<double>::infinity()}};

  EXPECT_EQ(Text({delays}),
            "# HELP lumoret_reply_delay_seconds Delays.\n"
            "# TYPE lumoret_reply_delay_seconds histogram\n"
            "# UNIT lumoret_reply_delay_seconds seconds\n"
            "lumoret_reply_delay_seconds_bucket{host=\"h\",ip=\"::1\",le=\"1e-05\"} 1\n"
            "lumoret_reply_delay_seconds_bucket{host=\"h\",ip=\"::1\",le=\"0.00025\"} 2\n"
            "lumoret_reply_delay_seconds_bucket{host=\"h\",ip=\"::1\",le=\"1.0\"} 3\n"
            "lumoret_reply_delay_seconds_bucket{host=\"h\",ip=\"::1\",le=\"123456.0\"} 4\n"
            "lumoret_reply_delay_seconds_bucket{host=\"h\",ip=\"::1\",le=\"1e+06\"} 5\n"
            "lumoret_reply_delay_seconds_bucket{host=\"h\",ip=\"::1\",le=\"+Inf\"} 6\n"
            "lumoret_reply_delay_seconds_count{host=\"h\",ip=\"::1\"} 6\n"
            "lumoret_reply_delay_seconds_sum{host=\"h\",ip=\"::1\"} 0.0625\n"
            "lumoret_reply_delay_seconds_bucket{host=\"i\",ip=\"192.0.2.2\",le=\"2.0\"} 0\n"
            "lumoret_reply_delay_seconds_bucket{host=\"i\",ip=\"192.0.2.2\",le=\"+Inf\"} 0\n"
            "lumoret_reply_delay_seconds_count{host=\"i\",ip=\"192.0.2.2\"} 0\n"
            "lumoret_reply_delay_seconds_sum{host=\"i\",ip=\"192.0.2.2\"} 0\n"
            "# EOF\n");
}

}  // namespace
