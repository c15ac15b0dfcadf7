#include "exporter/content_negotiation.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace {

// One element of a comma-separated header: "name; key=value; q=0.5".
struct Element {
  std::string name;     // the media range or coding, lower case
  std::string version;  // its version parameter, if any
  double weight = 1;    // its q value, 0 to 1
};

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// A q value as HTTP writes it ("0", "0.5", "1.000"); anything else weighs nothing, so a
// garbled element is never preferred.
double Weight(std::string_view text) {
  if (text.empty() || text.size() > 5 || (text[0] != '0' && text[0] != '1')) {
    return 0;
  }
  if (text.size() > 1 && text[1] != '.') {
    return 0;
  }
  for (std::size_t i = 2; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
      return 0;
    }
  }
  return std::min(1.0, std::strtod(std::string(text).c_str(), nullptr));
}

std::string_view Unquote(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

Element ParseElement(std::string_view text) {
  Element element;
  std::size_t semicolon = text.find(';');
  element.name = Lower(Trim(text.substr(0, semicolon)));
  while (semicolon != std::string_view::npos) {
    text.remove_prefix(semicolon + 1);
    semicolon = text.find(';');
    const std::string_view parameter = text.substr(0, semicolon);
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) {
      continue;
    }
    const std::string key = Lower(Trim(parameter.substr(0, equals)));
    const std::string_view value = Unquote(Trim(parameter.substr(equals + 1)));
    if (key == "q") {
      element.weight = Weight(value);
    } else if (key == "version") {
      element.version = std::string(value);
    }
  }
  return element;
}

// Calls take on every element of a comma-separated header.
template <typename Take>
void ForEachElement(std::string_view header, Take take) {
  while (!header.empty()) {
    const std::size_t comma = header.find(',');
    const std::string_view item = Trim(header.substr(0, comma));
    if (!item.empty()) {
      take(ParseElement(item));
    }
    if (comma == std::string_view::npos) {
      break;
    }
    header.remove_prefix(comma + 1);
  }
}

}  // namespace

ContentNegotiation::Format ContentNegotiation::PickFormat(std::string_view accept) {
  double open_metrics = 0;
  double text = 0;
  ForEachElement(accept, [&](const Element& e) {
    if (e.name == "application/openmetrics-text") {
      if (e.version.empty() || e.version == "1.0.0" || e.version == "0.0.1") {
        open_metrics = std::max(open_metrics, e.weight);
      }
    } else if (e.name == "text/plain") {
      if (e.version.empty() || e.version == "0.0.4") {
        text = std::max(text, e.weight);
      }
    } else if (e.name == "text/*" || e.name == "*/*") {
      text = std::max(text, e.weight);
    }
  });
  return open_metrics > 0 && open_metrics >= text ? Format::kOpenMetrics : Format::kPrometheusText;
}

bool ContentNegotiation::AcceptsGzip(std::string_view accept_encoding) {
  // An explicit "gzip;q=0" refuses it even where "*" would allow it.
  double named = -1;
  double any = 0;
  ForEachElement(accept_encoding, [&](const Element& e) {
    if (e.name == "gzip" || e.name == "x-gzip") {
      named = std::max(named, e.weight);
    } else if (e.name == "*") {
      any = std::max(any, e.weight);
    }
  });
  return named >= 0 ? named > 0 : any > 0;
}
