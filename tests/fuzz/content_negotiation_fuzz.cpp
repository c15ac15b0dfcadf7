// Any bytes as Accept and Accept-Encoding headers: nothing crashes, a header that never
// names OpenMetrics never gets it, one that names neither gzip nor "*" never gets gzip,
// an explicit "gzip;q=0" beats "*", and adding the text format never turns it into
// OpenMetrics.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "exporter/content_negotiation.h"

namespace {

void Check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

bool Contains(std::string text, std::string_view word) {
  for (char& c : text) {
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return text.find(word) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using Format = ContentNegotiation::Format;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Format format = ContentNegotiation::PickFormat(text);
  const bool gzip = ContentNegotiation::AcceptsGzip(text);
  if (!Contains(text, "openmetrics")) {
    Check(format == Format::kPrometheusText);
  }
  if (!Contains(text, "gzip") && text.find('*') == std::string::npos) {
    Check(!gzip);
  }
  if (!Contains(text, "gzip")) {
    Check(!ContentNegotiation::AcceptsGzip(text + ",gzip;q=0"));
  }
  Check(ContentNegotiation::PickFormat(text + ",text/plain;q=1") == Format::kPrometheusText ||
        format == Format::kOpenMetrics);
  return 0;
}
