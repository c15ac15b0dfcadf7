#include "exporter/open_metrics_serializer.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr std::string_view kTotal = "_total";
// Room for any double or 64-bit integer as text.
constexpr std::size_t kNumberRoom = 64;
// Whole values below this (2^53) print as integers: every one is exact in a double.
constexpr double kExactIntegers = 9007199254740992.0;

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A counter's family is typed without _total, whether or not the name given carries it.
std::string_view FamilyName(const MetricFamily& family) {
  std::string_view name = family.name;
  if (family.type == MetricType::Counter && EndsWith(name, kTotal)) {
    name.remove_suffix(kTotal.size());
  }
  return name;
}

// The unit a family's name ends in, as OpenMetrics declares it; empty: none.
std::string_view Unit(std::string_view name) {
  for (const std::string_view unit : {std::string_view("seconds"), std::string_view("bytes")}) {
    if (EndsWith(name, unit) && name.size() > unit.size() &&
        name[name.size() - unit.size() - 1] == '_') {
      return unit;
    }
  }
  return {};
}

const char* TypeName(MetricType type) {
  switch (type) {
    case MetricType::Counter:
      return "counter";
    case MetricType::Gauge:
      return "gauge";
    case MetricType::Summary:
      return "summary";
    case MetricType::Histogram:
      return "histogram";
    case MetricType::Untyped:
      break;
  }
  return "unknown";
}

// Help texts and label values: backslash, double quote and line feed escaped.
void WriteEscaped(std::ostream& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' && c != '"' && c != '\n') {
      continue;
    }
    out.write(text.data() + start, static_cast<std::streamsize>(i - start));
    out << (c == '\n' ? "\\n" : c == '"' ? "\\\"" : "\\\\");
    start = i + 1;
  }
  out.write(text.data() + start, static_cast<std::streamsize>(text.size() - start));
}

void WriteChars(std::ostream& out, const char* begin, const char* end) {
  out.write(begin, end - begin);
}

void WriteInteger(std::ostream& out, std::uint64_t value) {
  char buffer[kNumberRoom];
  WriteChars(out, buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// A sample's value: whole numbers as integers, others in their shortest exact form.
void WriteValue(std::ostream& out, double value) {
  if (std::isnan(value)) {
    out << "NaN";
  } else if (std::isinf(value)) {
    out << (value > 0 ? "+Inf" : "-Inf");
  } else if (value == std::floor(value) && std::fabs(value) < kExactIntegers) {
    char buffer[kNumberRoom];
    const auto whole = static_cast<std::int64_t>(value);
    WriteChars(out, buffer, std::to_chars(buffer, buffer + sizeof buffer, whole).ptr);
  } else {
    char buffer[kNumberRoom];
    WriteChars(out, buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
  }
}

// A bucket bound in the canonical form every exposer writes, so that the series of one
// bucket keep one le: shortest exact digits, an exponent below 1e-4 and from 1e6 on
// ("1e-05", "1e+06"), otherwise fixed with at least one decimal ("1.0", "0.005").
void WriteBound(std::ostream& out, double bound) {
  if (std::isnan(bound) || std::isinf(bound)) {
    WriteValue(out, bound);
    return;
  }
  char buffer[kNumberRoom];
  const char* end =
      std::to_chars(buffer, buffer + sizeof buffer, bound, std::chars_format::scientific).ptr;
  const std::string_view scientific(buffer, static_cast<std::size_t>(end - buffer));
  int exponent = 0;
  const char* exponent_at = scientific.data() + scientific.find('e') + 1;
  std::from_chars(exponent_at + (*exponent_at == '+'), end, exponent);
  if (exponent < -4 || exponent >= 6) {
    out << scientific;
    return;
  }
  end = std::to_chars(buffer, buffer + sizeof buffer, bound, std::chars_format::fixed).ptr;
  const std::string_view fixed(buffer, static_cast<std::size_t>(end - buffer));
  out << fixed;
  if (fixed.find('.') == std::string_view::npos) {
    out << ".0";
  }
}

// name{labels[,extra="..."]} with the leading space of the value.
void WriteHead(std::ostream& out, std::string_view name, std::string_view suffix,
               const ClientMetric& metric, std::string_view extra_name = {},
               double extra_bound = 0) {
  out << name << suffix;
  if (!metric.label.empty() || !extra_name.empty()) {
    char separator = '{';
    for (const auto& label : metric.label) {
      out << separator << label.name << "=\"";
      WriteEscaped(out, label.value);
      out << '"';
      separator = ',';
    }
    if (!extra_name.empty()) {
      out << separator << extra_name << "=\"";
      WriteBound(out, extra_bound);
      out << '"';
    }
    out << '}';
  }
  out << ' ';
}

// The optional timestamp (OpenMetrics counts seconds), then the end of the line.
void WriteTail(std::ostream& out, const ClientMetric& metric) {
  if (metric.timestamp_ms != 0) {
    out << ' ';
    WriteValue(out, static_cast<double>(metric.timestamp_ms) / 1000);
  }
  out << '\n';
}

void WriteHistogram(std::ostream& out, std::string_view name, const ClientMetric& metric) {
  const auto& histogram = metric.histogram;
  bool closed = false;  // whether the buckets given end with +Inf
  for (const auto& bucket : histogram.bucket) {
    WriteHead(out, name, "_bucket", metric, "le", bucket.upper_bound);
    WriteInteger(out, bucket.cumulative_count);
    WriteTail(out, metric);
    closed = std::isinf(bucket.upper_bound) && bucket.upper_bound > 0;
  }
  if (!closed) {
    WriteHead(out, name, "_bucket", metric, "le", std::numeric_limits<double>::infinity());
    WriteInteger(out, histogram.sample_count);
    WriteTail(out, metric);
  }
  WriteHead(out, name, "_count", metric);
  WriteInteger(out, histogram.sample_count);
  WriteTail(out, metric);
  WriteHead(out, name, "_sum", metric);
  WriteValue(out, histogram.sample_sum);
  WriteTail(out, metric);
}

void WriteSummary(std::ostream& out, std::string_view name, const ClientMetric& metric) {
  for (const auto& quantile : metric.summary.quantile) {
    WriteHead(out, name, "", metric, "quantile", quantile.quantile);
    WriteValue(out, quantile.value);
    WriteTail(out, metric);
  }
  WriteHead(out, name, "_count", metric);
  WriteInteger(out, metric.summary.sample_count);
  WriteTail(out, metric);
  WriteHead(out, name, "_sum", metric);
  WriteValue(out, metric.summary.sample_sum);
  WriteTail(out, metric);
}

void WriteMetric(std::ostream& out, std::string_view name, MetricType type,
                 const ClientMetric& metric) {
  switch (type) {
    case MetricType::Counter:
      WriteHead(out, name, kTotal, metric);
      WriteValue(out, metric.counter.value);
      break;
    case MetricType::Gauge:
      WriteHead(out, name, "", metric);
      WriteValue(out, metric.gauge.value);
      break;
    case MetricType::Untyped:
      WriteHead(out, name, "", metric);
      WriteValue(out, metric.untyped.value);
      break;
    case MetricType::Histogram:
      WriteHistogram(out, name, metric);
      return;
    case MetricType::Summary:
      WriteSummary(out, name, metric);
      return;
  }
  WriteTail(out, metric);
}

}  // namespace

void OpenMetricsSerializer::WriteFamily(std::ostream& out, const prometheus::MetricFamily& family) {
  const std::string_view name = FamilyName(family);
  if (!family.help.empty()) {
    out << "# HELP " << name << ' ';
    WriteEscaped(out, family.help);
    out << '\n';
  }
  out << "# TYPE " << name << ' ' << TypeName(family.type) << '\n';
  const std::string_view unit = Unit(name);
  if (!unit.empty()) {
    out << "# UNIT " << name << ' ' << unit << '\n';
  }
  for (const auto& metric : family.metric) {
    WriteMetric(out, name, family.type, metric);
  }
}

void OpenMetricsSerializer::Serialize(std::ostream& out,
                                      const std::vector<prometheus::MetricFamily>& families) const {
  for (const auto& family : families) {
    WriteFamily(out, family);
  }
}

void OpenMetricsSerializer::WriteEnd(std::ostream& out) {
  out << "# EOF\n";
}
