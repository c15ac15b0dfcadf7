#include "exporter/exposition_serializer.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Format = ExpositionSerializer::Format;

constexpr std::string_view kTotal = "_total";
// Room for any double or 64-bit integer as text.
constexpr std::size_t kNumberRoom = 64;
// Text gathered before it goes to the stream.
constexpr std::size_t kFlushAt = 64 * 1024;
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

const char* TypeName(MetricType type, Format format) {
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
  return format == Format::kOpenMetrics ? "unknown" : "untyped";
}

// Label values (and OpenMetrics' help texts): backslash, line feed and, unless quotes is
// false (the text format's help), double quote escaped.
void WriteEscaped(std::string& out, std::string_view text, bool quotes = true) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' && (c != '"' || !quotes) && c != '\n') {
      continue;
    }
    out.append(text.data() + start, i - start);
    out += (c == '\n' ? "\\n" : c == '"' ? "\\\"" : "\\\\");
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

void WriteChars(std::string& out, const char* begin, const char* end) {
  out.append(begin, static_cast<std::size_t>(end - begin));
}

void WriteInteger(std::string& out, std::uint64_t value) {
  char buffer[kNumberRoom];
  WriteChars(out, buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// A sample's value: whole numbers as integers, others in their shortest exact form.
void WriteValue(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += (value > 0 ? "+Inf" : "-Inf");
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
void WriteBound(std::string& out, double bound) {
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
    out += scientific;
    return;
  }
  end = std::to_chars(buffer, buffer + sizeof buffer, bound, std::chars_format::fixed).ptr;
  const std::string_view fixed(buffer, static_cast<std::size_t>(end - buffer));
  out += fixed;
  if (fixed.find('.') == std::string_view::npos) {
    out += ".0";
  }
}

// A metric's labels, escaped and joined, without the braces: made once for its lines.
void WriteLabels(std::string& out, const ClientMetric& metric) {
  for (const auto& label : metric.label) {
    if (&label != &metric.label.front()) {
      out += ',';
    }
    out += label.name;
    out += "=\"";
    WriteEscaped(out, label.value);
    out += '"';
  }
}

// name{labels[,extra="..."]} with the leading space of the value.
void WriteHead(std::string& out, std::string_view name, std::string_view suffix,
               std::string_view labels, std::string_view extra_name = {}, double extra_bound = 0) {
  out += name;
  out += suffix;
  if (!labels.empty() || !extra_name.empty()) {
    out += '{';
    out += labels;
    if (!extra_name.empty()) {
      out += labels.empty() ? "" : ",";
      out += extra_name;
      out += "=\"";
      WriteBound(out, extra_bound);
      out += '"';
    }
    out += '}';
  }
  out += ' ';
}

// The optional timestamp (OpenMetrics counts seconds, the text format milliseconds),
// then the end of the line.
void WriteTail(std::string& out, const ClientMetric& metric, Format format) {
  if (metric.timestamp_ms != 0) {
    out += ' ';
    if (format == Format::kOpenMetrics) {
      WriteValue(out, static_cast<double>(metric.timestamp_ms) / 1000);
    } else {
      WriteValue(out, static_cast<double>(metric.timestamp_ms));
    }
  }
  out += '\n';
}

void WriteHistogram(std::string& out, std::string_view name, std::string_view labels,
                    const ClientMetric& metric, Format format) {
  const auto& histogram = metric.histogram;
  bool closed = false;  // whether the buckets given end with +Inf
  for (const auto& bucket : histogram.bucket) {
    WriteHead(out, name, "_bucket", labels, "le", bucket.upper_bound);
    WriteInteger(out, bucket.cumulative_count);
    WriteTail(out, metric, format);
    closed = std::isinf(bucket.upper_bound) && bucket.upper_bound > 0;
  }
  if (!closed) {
    WriteHead(out, name, "_bucket", labels, "le", std::numeric_limits<double>::infinity());
    WriteInteger(out, histogram.sample_count);
    WriteTail(out, metric, format);
  }
  WriteHead(out, name, "_count", labels);
  WriteInteger(out, histogram.sample_count);
  WriteTail(out, metric, format);
  WriteHead(out, name, "_sum", labels);
  WriteValue(out, histogram.sample_sum);
  WriteTail(out, metric, format);
}

void WriteSummary(std::string& out, std::string_view name, std::string_view labels,
                  const ClientMetric& metric, Format format) {
  for (const auto& quantile : metric.summary.quantile) {
    WriteHead(out, name, "", labels, "quantile", quantile.quantile);
    WriteValue(out, quantile.value);
    WriteTail(out, metric, format);
  }
  WriteHead(out, name, "_count", labels);
  WriteInteger(out, metric.summary.sample_count);
  WriteTail(out, metric, format);
  WriteHead(out, name, "_sum", labels);
  WriteValue(out, metric.summary.sample_sum);
  WriteTail(out, metric, format);
}

// labels: room for the metric's labels, reused from one metric to the next. A counter's
// samples are name_total in OpenMetrics, whose name goes without the suffix, and the
// family's own name in the text format.
void WriteMetric(std::string& out, std::string_view name, MetricType type,
                 const ClientMetric& metric, std::string& labels, Format format) {
  labels.clear();
  WriteLabels(labels, metric);
  switch (type) {
    case MetricType::Counter:
      WriteHead(out, name, format == Format::kOpenMetrics ? kTotal : "", labels);
      WriteValue(out, metric.counter.value);
      break;
    case MetricType::Gauge:
      WriteHead(out, name, "", labels);
      WriteValue(out, metric.gauge.value);
      break;
    case MetricType::Untyped:
      WriteHead(out, name, "", labels);
      WriteValue(out, metric.untyped.value);
      break;
    case MetricType::Histogram:
      WriteHistogram(out, name, labels, metric, format);
      return;
    case MetricType::Summary:
      WriteSummary(out, name, labels, metric, format);
      return;
  }
  WriteTail(out, metric, format);
}

}  // namespace

void ExpositionSerializer::WriteFamily(std::ostream& out, const prometheus::MetricFamily& family,
                                       Format format) {
  const bool open_metrics = format == Format::kOpenMetrics;
  const std::string_view name = open_metrics ? FamilyName(family) : family.name;
  // The text is made in a string and handed to the stream a line or a metric at a time:
  // a stream's own formatting is too slow for the 10,000 hosts of a scrape.
  std::string text;
  if (!family.help.empty()) {
    text += "# HELP ";
    text += name;
    text += ' ';
    WriteEscaped(text, family.help, open_metrics);
    text += '\n';
  }
  text += "# TYPE ";
  text += name;
  text += ' ';
  text += TypeName(family.type, format);
  text += '\n';
  const std::string_view unit = open_metrics ? Unit(name) : std::string_view();
  if (!unit.empty()) {
    text += "# UNIT ";
    text += name;
    text += ' ';
    text += unit;
    text += '\n';
  }
  std::string labels;
  for (const auto& metric : family.metric) {
    WriteMetric(text, name, family.type, metric, labels, format);
    if (text.size() >= kFlushAt) {
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      text.clear();
    }
  }
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void ExpositionSerializer::Serialize(std::ostream& out,
                                     const std::vector<prometheus::MetricFamily>& families) const {
  for (const auto& family : families) {
    WriteFamily(out, family, format_);
  }
}

void ExpositionSerializer::WriteEnd(std::ostream& out, Format format) {
  if (format == Format::kOpenMetrics) {
    out << "# EOF\n";
  }
}
