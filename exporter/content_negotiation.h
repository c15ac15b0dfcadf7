#ifndef LUMORET_EXPORTER_CONTENT_NEGOTIATION_H
#define LUMORET_EXPORTER_CONTENT_NEGOTIATION_H

#include <string_view>

// What a scrape's Accept and Accept-Encoding headers ask for. Headers are read leniently:
// whatever cannot be understood counts as not asked for, so a scraper always gets an
// answer (the Prometheus text format, uncompressed, at the least).
class ContentNegotiation {
 public:
  // The exposition formats /metrics writes.
  enum class Format {
    kPrometheusText,  // text/plain; version=0.0.4
    kOpenMetrics,     // application/openmetrics-text; version=1.0.0
  };
  // OpenMetrics when accept names it (version 1.0.0, 0.0.1 or none) with a weight at
  // least that of the text format (text/plain, text/*, */*); else the text format.
  static Format PickFormat(std::string_view accept);
  // Whether accept_encoding allows gzip (named, x-gzip or *, with a weight above 0).
  static bool AcceptsGzip(std::string_view accept_encoding);
};

#endif  // LUMORET_EXPORTER_CONTENT_NEGOTIATION_H
