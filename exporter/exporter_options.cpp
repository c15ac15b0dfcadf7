#include "exporter/exporter_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

// The bounds of the numeric options, checked here so that a typo stops the start.
constexpr int kMaxConnections = 256;      // --web.max-connections
constexpr int kMaxIdleSeconds = 3600;     // --web.idle-timeout
constexpr int kMaxResolveMinutes = 1440;  // --resolve-minutes: once a day at most
constexpr long kMaxPort = 65535;          // the last TCP port

[[noreturn]] void Refuse(const std::string& text) {
  throw std::invalid_argument(text);
}

// A whole decimal number within [low, high], else a message naming the option.
int ReadInteger(const std::string& option, const std::string& value, int low, int high) {
  const bool digits = !value.empty() && value.size() <= 9 &&
                      value.find_first_not_of("0123456789") == std::string::npos;
  const long number = digits ? std::strtol(value.c_str(), nullptr, 10) : -1;
  if (!digits || number < low || number > high) {
    Refuse(option + ": '" + value + "' is not a whole number from " + std::to_string(low) + " to " +
           std::to_string(high));
  }
  return static_cast<int>(number);
}

// One bound of --buckets: a finite decimal number, nothing around it.
double ReadBound(const std::string& text) {
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double bound = std::strtod(start, &end);
  const bool plain = !text.empty() && text.find_first_of(" \t\n\r\f\v") == std::string::npos;
  if (!plain || end != start + text.size() || errno == ERANGE || !std::isfinite(bound)) {
    Refuse("--buckets: '" + text + "' is not a number of seconds");
  }
  return bound;
}

// "0.001,0.01,0.1": ascending bounds in seconds, each above zero.
DelayHistogram::Bounds ReadBuckets(const std::string& value) {
  DelayHistogram::Bounds bounds;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = value.find(',', start);
    bounds.push_back(ReadBound(value.substr(start, comma - start)));
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  try {
    DelayHistogram::Check(bounds);
  } catch (const std::invalid_argument& e) {
    Refuse(std::string("--buckets: ") + e.what());
  }
  return bounds;
}

// "[host]:port", the host optional ("::1" bracketed), the port 0 to 65535.
void CheckListenAddress(const std::string& value) {
  const std::size_t colon = value.rfind(':');
  const std::string port = colon == std::string::npos ? "" : value.substr(colon + 1);
  const std::string host = colon == std::string::npos ? "" : value.substr(0, colon);
  const bool digits = !port.empty() && port.size() <= 5 &&
                      port.find_first_not_of("0123456789") == std::string::npos;
  const bool bracketed = host.empty() || host.front() != '[' || host.back() == ']';
  const bool bare = host.find_first_of(":[]") == std::string::npos ||
                    (host.size() > 2 && host.front() == '[' && host.back() == ']');
  if (!digits || std::strtol(port.c_str(), nullptr, 10) > kMaxPort || !bracketed || !bare) {
    Refuse("--web.listen-address: '" + value +
           "' is not [host]:port (e.g. :10067, 127.0.0.1:10067, [::1]:10067)");
  }
}

// Stores the value of option, one that takes a value.
void Apply(ExporterOptions& options, const std::string& option, const std::string& value) {
  if (option == "--config") {
    if (value.empty()) {
      Refuse("--config: the file name is empty");
    }
    options.config = value;
  } else if (option == "--web.listen-address") {
    CheckListenAddress(value);
    options.server.listen_address = value;
  } else if (option == "--buckets") {
    options.buckets = ReadBuckets(value);
  } else if (option == "--web.max-connections") {
    options.server.max_connections = ReadInteger(option, value, 1, kMaxConnections);
  } else if (option == "--web.idle-timeout") {
    options.server.idle_timeout =
        std::chrono::seconds(ReadInteger(option, value, 1, kMaxIdleSeconds));
  } else {
    options.resolve_minutes = ReadInteger(option, value, 0, kMaxResolveMinutes);
  }
}

bool TakesValue(const std::string& option) {
  return option == "--config" || option == "--web.listen-address" || option == "--buckets" ||
         option == "--web.max-connections" || option == "--web.idle-timeout" ||
         option == "--resolve-minutes";
}

}  // namespace

ExporterOptions ExporterOptions::Parse(const std::vector<std::string>& arguments) {
  ExporterOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const std::size_t equals = argument.find('=');
    const std::string option = argument.substr(0, equals);
    if (option == "--help" || option == "--version") {
      if (equals != std::string::npos) {
        Refuse(option + " takes no value");
      }
      (option == "--help" ? options.help : options.version) = true;
    } else if (!TakesValue(option)) {
      Refuse(option.compare(0, 1, "-") == 0 ? "unknown option '" + option + "'"
                                            : "unexpected argument '" + argument + "'");
    } else if (equals != std::string::npos) {
      Apply(options, option, argument.substr(equals + 1));
    } else if (i + 1 < arguments.size()) {
      Apply(options, option, arguments[++i]);
    } else {
      Refuse(option + " needs a value");
    }
  }
  return options;
}

std::string ExporterOptions::Usage() {
  const ExporterOptions defaults;
  std::ostringstream text;
  text << "Usage: lumoret-exporter [OPTION]...\n"
          "Probes every host of a host list (config.ini's format: one address or host name\n"
          "a line, '#' starts a comment) with ICMP echo and serves the figures to Prometheus\n"
          "on /metrics. SIGHUP or POST /-/reload reads the list again.\n\n"
       << "  --config FILE               the host list (default " << defaults.config << ")\n"
       << "  --web.listen-address ADDR   [host]:port to serve on (default "
       << defaults.server.listen_address << ")\n"
       << "  --buckets LIST              reply-delay histogram bounds in seconds, ascending,\n"
          "                              comma-separated (default "
       << defaults.buckets.front() << ",...," << defaults.buckets.back() << ")\n"
       << "  --web.max-connections N     requests served at once, 1 to " << kMaxConnections
       << " (default " << defaults.server.max_connections << ")\n"
       << "  --web.idle-timeout SECONDS  an idle connection is closed after this long,\n"
          "                              1 to "
       << kMaxIdleSeconds << " (default "
       << std::chrono::duration_cast<std::chrono::seconds>(defaults.server.idle_timeout).count()
       << ")\n"
       << "  --resolve-minutes N         look every name up again this often, 0 (never)\n"
          "                              to "
       << kMaxResolveMinutes << " (default " << defaults.resolve_minutes << ")\n"
       << "  --version                   print the version and stop\n"
          "  --help                      print this text and stop\n\n"
          "Options take their value as --option VALUE or --option=VALUE.\n";
  return text.str();
}
