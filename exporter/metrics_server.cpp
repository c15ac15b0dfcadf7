#include "exporter/metrics_server.h"

#include <CivetServer.h>
#include <arpa/inet.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "exporter/chunked_body.h"
#include "exporter/content_negotiation.h"
#include "exporter/exposition_serializer.h"
#include "platform/memory.h"

namespace {

constexpr char kPlainContentType[] = "text/plain; charset=utf-8";
constexpr int kMaxPort = 65535;
// How the stopping server's accepting thread is woken: a connection this often, at most
// this many times.
constexpr std::chrono::milliseconds kWakeInterval(20);
constexpr int kWakeTries = 150;

// What civetweb logged while the server was starting on this thread: the reason it gives
// for a port it cannot bind. Requests' own complaints (a client's bad request) are
// dropped: they are the client's business, and would flood the log.
thread_local std::string* startup_log = nullptr;

int LogMessage(const mg_connection* /*conn*/, const char* message) {
  if (startup_log != nullptr && startup_log->empty()) {
    *startup_log = message;
  }
  return 1;  // never civetweb's own log
}

// "cannot bind to 127.0.0.1:10067: 98 (Address already in use)" -> the part in brackets.
std::string StartupReason(const std::string& log) {
  const std::size_t open = log.rfind('(');
  const std::size_t close = log.rfind(')');
  if (open != std::string::npos && close != std::string::npos && open < close) {
    return log.substr(open + 1, close - open - 1);
  }
  return log.empty() ? "the server did not start" : log;
}

bool ValidPort(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  return std::stoi(text) <= kMaxPort;
}

[[noreturn]] void Malformed(const std::string& address, const std::string& why) {
  throw MetricsServerError("invalid listen address \"" + address + "\": " + why +
                           " (expected :PORT, IPv4:PORT or [IPv6]:PORT)");
}

std::string Method(const mg_connection* conn) {
  return mg_get_request_info(conn)->request_method;
}

const char* HeaderOr(const mg_connection* conn, const char* name) {
  const char* value = mg_get_header(conn, name);
  return value != nullptr ? value : "";
}

// A whole short answer: status, plain text, and an Allow header for a 405.
void SendText(mg_connection* conn, int status, const std::string& text, const char* allow) {
  mg_response_header_start(conn, status);
  mg_response_header_add(conn, "Content-Type", kPlainContentType, -1);
  mg_response_header_add(conn, "Content-Length", std::to_string(text.size()).c_str(), -1);
  if (allow != nullptr) {
    mg_response_header_add(conn, "Allow", allow, -1);
  }
  mg_response_header_send(conn);
  if (Method(conn) != "HEAD") {
    mg_write(conn, text.data(), text.size());
  }
}

// A connection to our own listening port, closed at once: enough to wake civetweb's
// accepting thread. Never blocks (the connect is not waited for).
void Knock(const std::string& host, int port) {
  sockaddr_storage address{};
  socklen_t size = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    size = sizeof *v4;
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    size = sizeof *v6;
  } else {
    return;
  }
  const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    connect(fd, reinterpret_cast<sockaddr*>(&address), size);
    close(fd);
  }
}

}  // namespace

// Answers every path: civetweb hands it each request whatever its method.
class MetricsServer::Handler : public CivetHandler {
 public:
  explicit Handler(const MetricsServer& server) : server_(server) {}
  bool handleGet(CivetServer* /*s*/, mg_connection* conn) override { return Serve(conn); }
  bool handleHead(CivetServer* /*s*/, mg_connection* conn) override { return Serve(conn); }
  bool handlePost(CivetServer* /*s*/, mg_connection* conn) override { return Serve(conn); }
  bool handlePut(CivetServer* /*s*/, mg_connection* conn) override { return Serve(conn); }
  bool handleDelete(CivetServer* /*s*/, mg_connection* conn) override { return Serve(conn); }
  bool handleOptions(CivetServer* /*s*/, mg_connection* conn) override { return Serve(conn); }
  bool handlePatch(CivetServer* /*s*/, mg_connection* conn) override { return Serve(conn); }

 private:
  bool Serve(mg_connection* conn) const;
  void ServeMetrics(mg_connection* conn) const;
  void ServeReload(mg_connection* conn) const;

  const MetricsServer& server_;  // its collector and reload
};

bool MetricsServer::Handler::Serve(mg_connection* conn) const {
  const char* local_uri = mg_get_request_info(conn)->local_uri;
  const std::string uri = local_uri != nullptr ? local_uri : "";
  const std::string method = Method(conn);
  const bool read = method == "GET" || method == "HEAD";
  if (uri == "/metrics") {
    read ? ServeMetrics(conn) : SendText(conn, 405, "Method Not Allowed\n", "GET, HEAD");
  } else if (uri == "/-/healthy") {
    read ? SendText(conn, 200, "Healthy\n", nullptr)
         : SendText(conn, 405, "Method Not Allowed\n", "GET, HEAD");
  } else if (uri == "/-/reload" && server_.reload_) {
    method == "POST" || method == "PUT" ? ServeReload(conn)
                                        : SendText(conn, 405, "Method Not Allowed\n", "POST, PUT");
  } else {
    SendText(conn, 404, "Not Found\n", nullptr);
  }
  return true;
}

void MetricsServer::Handler::ServeMetrics(mg_connection* conn) const {
  const ContentNegotiation::Format format =
      ContentNegotiation::PickFormat(HeaderOr(conn, "Accept"));
  const bool open_metrics = format == ContentNegotiation::Format::kOpenMetrics;
  const bool gzip = ContentNegotiation::AcceptsGzip(HeaderOr(conn, "Accept-Encoding"));
  mg_response_header_start(conn, 200);
  mg_response_header_add(
      conn, "Content-Type",
      open_metrics ? ExpositionSerializer::kOpenMetricsType : ExpositionSerializer::kTextType, -1);
  if (gzip) {
    mg_response_header_add(conn, "Content-Encoding", "gzip", -1);
  }
  mg_response_header_add(conn, "Vary", "Accept, Accept-Encoding", -1);
  mg_response_header_add(conn, "Transfer-Encoding", "chunked", -1);
  mg_response_header_send(conn);
  if (Method(conn) == "HEAD") {
    return;
  }
  ChunkedBody body(
      [conn](const char* data, std::size_t size) {
        return mg_send_chunk(conn, data, static_cast<unsigned int>(size)) > 0;
      },
      gzip);
  std::ostream out(&body);
  server_.collector_.CollectEach([&](const prometheus::MetricFamily& family) {
    ExpositionSerializer::WriteFamily(out, family, format);
  });
  ExpositionSerializer::WriteEnd(out, format);
  if (body.Finish()) {
    mg_send_chunk(conn, "", 0);  // the last, empty chunk ends the body
  }
  // A scrape's families came and went on this server thread's own heap: give the pages
  // back, or each thread that ever served a scrape would keep a scrape's worth.
  platform::ReleaseFreeMemory();
}

void MetricsServer::Handler::ServeReload(mg_connection* conn) const {
  std::string problem;
  try {
    problem = server_.reload_();
  } catch (const std::exception& e) {
    problem = e.what();
  }
  if (problem.empty()) {
    SendText(conn, 200, "Reloaded\n", nullptr);
  } else {
    SendText(conn, 500, problem + "\n", nullptr);
  }
}

std::string MetricsServer::WakeAddress(const std::string& listen_address) {
  std::string host = listen_address.substr(0, listen_address.rfind(':'));
  if (host.empty() || host == "0.0.0.0") {
    return "127.0.0.1";
  }
  if (host.front() == '[') {
    host = host.substr(1, host.size() - 2);
  }
  return host == "::" ? "::1" : host;
}

std::string MetricsServer::ListeningPorts(const std::string& listen_address) {
  const std::size_t colon = listen_address.rfind(':');
  if (colon == std::string::npos) {
    Malformed(listen_address, "no port");
  }
  const std::string host = listen_address.substr(0, colon);
  const std::string port = listen_address.substr(colon + 1);
  if (!ValidPort(port)) {
    Malformed(listen_address, "the port is not a number from 0 to 65535");
  }
  if (host.empty()) {
    // Every address, IPv6 too where the library has it.
    return (mg_check_feature(MG_FEATURES_IPV6) != 0 ? "+" : "") + port;
  }
  unsigned char address[sizeof(in6_addr)];
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']' ||
        inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), address) != 1) {
      Malformed(listen_address, "the host is not an IPv6 address in brackets");
    }
    return host + ":" + port;
  }
  if (inet_pton(AF_INET, host.c_str(), address) != 1) {
    Malformed(listen_address, "the host is not an IPv4 address");
  }
  return host + ":" + port;
}

MetricsServer::MetricsServer(const Options& options, const MetricsCollector& collector,
                             Reload reload)
    : collector_(collector), reload_(std::move(reload)), handler_(new Handler(*this)) {
  if (options.max_connections < 1) {
    throw MetricsServerError("the number of connections must be at least 1");
  }
  const std::string timeout = std::to_string(std::max<long long>(1, options.idle_timeout.count()));
  const std::vector<std::string> civet_options{
      "listening_ports",
      ListeningPorts(options.listen_address),
      "num_threads",
      std::to_string(options.max_connections),
      "request_timeout_ms",
      timeout,
      "keep_alive_timeout_ms",
      timeout,
      // Each connection answers one request and closes: civetweb keeps a kept-alive
      // connection on one of its few threads between scrapes, where it would stand in
      // the way of others, and delay a stop by up to two seconds.
      "enable_keep_alive",
      "no",
      "enable_directory_listing",
      "no",
  };
  CivetCallbacks callbacks;
  callbacks.log_message = &LogMessage;
  std::string log;
  startup_log = &log;
  try {
    server_ = std::make_unique<CivetServer>(civet_options, &callbacks);
  } catch (const CivetException&) {
  }
  startup_log = nullptr;
  if (server_ == nullptr || server_->getContext() == nullptr) {
    throw MetricsServerError("cannot listen on " + options.listen_address + ": " +
                             StartupReason(log));
  }
  server_->addHandler("/", *handler_);
  wake_address_ = WakeAddress(options.listen_address);
}

MetricsServer::~MetricsServer() {
  if (server_ == nullptr) {
    return;
  }
  // civetweb's accepting thread sees the stop only when its poll of the listening
  // sockets returns, after two seconds when nobody connects: a few connections of our
  // own end that wait at once.
  const int port = this->port();
  std::atomic<bool> stopped{false};
  std::thread waker([&stopped, port, this] {
    for (int i = 0; i < kWakeTries && !stopped; ++i) {
      std::this_thread::sleep_for(kWakeInterval);
      Knock(wake_address_, port);
    }
  });
  server_->close();
  stopped = true;
  waker.join();
}

int MetricsServer::port() const {
  mg_server_port ports[2]{};
  const int count = mg_get_server_ports(server_->getContext(), 2, ports);
  return count > 0 ? ports[0].port : 0;
}
