// A real MetricsServer on 127.0.0.1 over an idle engine, spoken to over plain sockets.
#include "exporter/metrics_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "exporter/content_negotiation.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Prometheus' own Accept header (2.x).
constexpr char kPrometheusAccept[] =
    "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
    "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1";

struct Response {
  int status = 0;       // 0: closed without an answer
  std::string headers;  // the header lines, lower case
  std::string body;     // de-chunked
  bool ended = true;    // a chunked body ended with its empty last chunk
};

// A connection to port that has sent request.
int Connect(int port, const std::string& request = "") {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

// The body of a chunked answer; ended tells whether the last, empty chunk came.
std::string Dechunk(const std::string& chunked, bool* ended) {
  std::string body;
  *ended = false;
  for (std::size_t at = 0; at < chunked.size() && !*ended;) {
    const std::size_t size = std::stoul(chunked.substr(at), nullptr, 16);
    at = chunked.find("\r\n", at) + 2;
    body += chunked.substr(at, size);
    at += size + 2;
    *ended = size == 0 && at == chunked.size();
  }
  return body;
}

// What the server answers to request, read until it closes (or 10 s pass).
Response Ask(int port, const std::string& request) {
  const int fd = Connect(port, request);
  std::string raw;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  Response response;
  const std::size_t end = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) {
    return response;
  }
  response.status = std::stoi(raw.substr(9, 3));
  for (char c : raw.substr(0, end)) {
    response.headers += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  response.body = raw.substr(end + 4);
  if (response.headers.find("transfer-encoding: chunked") != std::string::npos) {
    response.body = Dechunk(response.body, &response.ended);
  }
  return response;
}

Response Get(int port, const std::string& path, const std::string& headers = "",
             const std::string& method = "GET") {
  return Ask(port, method + " " + path + " HTTP/1.1\r\nHost: test\r\nConnection: close\r\n" +
                       headers + "\r\n");
}

std::string Gunzip(const std::string& data) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string text(64 * data.size() + 4096, '\0');  // text compresses far less than 64:1
  stream.next_out = reinterpret_cast<Bytef*>(&text[0]);
  stream.avail_out = static_cast<uInt>(text.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  text.resize(stream.total_out);
  inflateEnd(&stream);
  return text;
}

// Whether the peer closed fd within limit.
bool ClosedWithin(int fd, milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  char buffer[4096];  // what came before the close is passed over
  while (steady_clock::now() < deadline) {
    if (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) == 0) {
      return true;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

class MetricsServerTest : public ::testing::Test {
 protected:
  // Enough hosts for a body of several chunks, never started: nothing is sent.
  MetricsServerTest()
      : engine_(DelayTimeMgr::OpenIcmpSocket(), nullptr, -1, Hosts()), collector_(engine_) {
    engine_.EnableReplyHistograms(kDefaultBuckets);
    collector_.SetTargets(engine_.targets);
  }
  static std::vector<std::string> Hosts() {
    std::vector<std::string> hosts;
    for (int i = 1; i <= 3000; ++i) {
      hosts.push_back("127.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    }
    return hosts;
  }
  std::unique_ptr<MetricsServer> Serve(int max_connections = 4,
                                       milliseconds idle = milliseconds(10000)) {
    MetricsServer::Options options;
    options.listen_address = "127.0.0.1:0";
    options.max_connections = max_connections;
    options.idle_timeout = idle;
    return std::make_unique<MetricsServer>(options, collector_, [this] { return reload_answer_; });
  }

  DelayTimeMgr engine_;         // the idle engine
  MetricsCollector collector_;  // what the server reads
  std::string reload_answer_;   // what /-/reload's callback says
};

TEST(ContentNegotiationTest, PicksFormatAndCodingByWeight) {
  // Accept headers that ask for OpenMetrics; "*/*" and those below get the text format.
  for (const char* open : {kPrometheusAccept, "application/openmetrics-text;version=\"0.0.1\""}) {
    EXPECT_EQ(ContentNegotiation::PickFormat(open), ContentNegotiation::Format::kOpenMetrics);
  }
  for (const char* text :
       {"", "*/*", "Application/OpenMetrics-Text; q=0.4, text/plain;version=0.0.4;q=0.5",
        "application/openmetrics-text;version=2.0.0", "application/openmetrics-text;q=0",
        "application/openmetrics-text;q=banana"}) {
    EXPECT_EQ(ContentNegotiation::PickFormat(text), ContentNegotiation::Format::kPrometheusText)
        << text;
  }
  for (const char* coding : {"deflate, GZIP;q=0.5", "*"}) {
    EXPECT_TRUE(ContentNegotiation::AcceptsGzip(coding)) << coding;
  }
  for (const char* coding : {"*, gzip;q=0", "deflate, identity", "gzipx"}) {
    EXPECT_FALSE(ContentNegotiation::AcceptsGzip(coding)) << coding;
  }
}

// A scrape up to the process's own figures, which come last.
std::string BeforeProcessFigures(const std::string& text) {
  return text.substr(0, text.find("# HELP process_"));
}

TEST_F(MetricsServerTest, ServesTextOpenMetricsAndGzip) {
  const auto server = Serve();
  const Response text = Get(server->port(), "/metrics");
  ASSERT_EQ(text.status, 200);
  EXPECT_TRUE(text.ended);
  EXPECT_NE(text.headers.find("content-type: text/plain; version=0.0.4; charset=utf-8"),
            std::string::npos);
  EXPECT_EQ(text.body.find("# EOF"), std::string::npos);

  const Response open =
      Get(server->port(), "/metrics", std::string("Accept: ") + kPrometheusAccept + "\r\n");
  ASSERT_EQ(open.status, 200);
  EXPECT_NE(open.headers.find("content-type: application/openmetrics-text; version=1.0.0"),
            std::string::npos);
  ASSERT_GE(open.body.size(), 6u);
  EXPECT_EQ(open.body.substr(open.body.size() - 6), "# EOF\n");

  const Response zipped = Get(server->port(), "/metrics", "Accept-Encoding: gzip\r\n");
  ASSERT_EQ(zipped.status, 200);
  EXPECT_NE(zipped.headers.find("content-encoding: gzip"), std::string::npos);
  EXPECT_TRUE(zipped.ended);
  // The process's own figures move between two scrapes; every other line stays. Compared
  // whole, not through EXPECT_EQ, whose diff of megabytes would take minutes.
  EXPECT_TRUE(BeforeProcessFigures(Gunzip(zipped.body)) == BeforeProcessFigures(text.body));

  EXPECT_EQ(Get(server->port(), "/metrics", "", "HEAD").body, "");
}

TEST_F(MetricsServerTest, PathsAndMethods) {
  const auto server = Serve();
  const int port = server->port();
  EXPECT_EQ(Get(port, "/-/healthy").body, "Healthy\n");
  EXPECT_EQ(Get(port, "/-/reload", "", "POST").status, 200);
  reload_answer_ = "why";
  const Response failed = Get(port, "/-/reload", "", "PUT");
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body, "why\n");
  const std::tuple<const char*, const char*, int> refused[] = {
      {"GET", "/-/reload", 405},
      {"POST", "/metrics", 405},
      {"GET", "/", 404},
      {"GET", "/metrics/../etc/passwd", 404}};
  for (const auto& [method, path, status] : refused) {
    EXPECT_EQ(Get(port, path, "", method).status, status) << method << " " << path;
  }

  MetricsServer::Options options;
  options.listen_address = "127.0.0.1:0";
  const MetricsServer without_reload(options, collector_, nullptr);
  EXPECT_EQ(Get(without_reload.port(), "/-/reload", "", "POST").status, 404);
}

TEST_F(MetricsServerTest, MalformedRequestsAreRefusedAndServingGoesOn) {
  const auto server = Serve();
  const int port = server->port();
  for (const std::string& bad :
       {std::string("garbage\r\n\r\n"),
        std::string("GET /metrics HTTP/1.1\r\nX: ") + std::string(100000, 'a') + "\r\n\r\n"}) {
    const Response response = Ask(port, bad);
    EXPECT_TRUE(response.status == 0 || (response.status >= 400 && response.status < 500))
        << response.status;
  }
  EXPECT_EQ(Get(port, "/metrics").status, 200);
}

TEST_F(MetricsServerTest, IdleAndDribblingClientsAreDroppedWhileScrapesGoOn) {
  const auto server = Serve(2, milliseconds(500));
  const int port = server->port();
  // As many silent clients as the server has threads: a scrape waits for them to go.
  const int silent[2] = {Connect(port), Connect(port)};
  EXPECT_EQ(Get(port, "/metrics").status, 200);
  for (int fd : silent) {
    EXPECT_TRUE(ClosedWithin(fd, milliseconds(5000)));
    close(fd);
  }
  // Headers a byte at a time, forever: dropped too, while another scrape is answered.
  const int dribbling = Connect(port);
  const std::string request = "GET /metrics HTTP/1.1\r\nX-Slow: ";
  bool closed = false;
  for (int i = 0; i < 100 && !closed; ++i) {
    closed = send(dribbling, i < static_cast<int>(request.size()) ? &request[i] : "a", 1,
                  MSG_NOSIGNAL) < 0 ||
             ClosedWithin(dribbling, milliseconds(100));
    if (i == 2) {
      EXPECT_EQ(Get(port, "/metrics").status, 200);
    }
  }
  EXPECT_TRUE(closed);
  close(dribbling);
}

TEST_F(MetricsServerTest, AReaderThatStopsIsDroppedAndTheNextScrapeAnswered) {
  const auto server = Serve(1, milliseconds(500));
  const int stalled = Connect(server->port());
  const int small = 4096;  // the scrape soon fills it
  setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: test\r\n\r\n";
  send(stalled, request.data(), request.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(Get(server->port(), "/metrics").status, 200);
  close(stalled);
}

TEST_F(MetricsServerTest, AnsweredConnectionsCloseAndFreeTheirThread) {
  // One thread: a connection kept open after its answer would hold it until the timeout.
  const auto server = Serve(1, milliseconds(10000));
  const int fd = Connect(server->port(), "GET /-/healthy HTTP/1.1\r\nHost: test\r\n\r\n");
  EXPECT_TRUE(ClosedWithin(fd, milliseconds(2000)));
  const auto start = steady_clock::now();
  EXPECT_EQ(Get(server->port(), "/-/healthy").status, 200);
  EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
  close(fd);
}

TEST_F(MetricsServerTest, BadAddressesAndAPortInUseSayWhy) {
  const auto server = Serve();
  MetricsServer::Options options;
  options.listen_address = "127.0.0.1:" + std::to_string(server->port());
  try {
    MetricsServer second(options, collector_, nullptr);
    ADD_FAILURE() << "a second server on the same port started";
  } catch (const MetricsServerError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot listen on " + options.listen_address + ": Address already in use");
  }
  for (const char* bad : {"", "10067", ":", ":65536", ":-1", "1.2.3:80", "[::1:80", "::1:80",
                          "localhost:80", "[]:80", "127.0.0.1:80x"}) {
    EXPECT_THROW(MetricsServer::ListeningPorts(bad), MetricsServerError) << bad;
  }
  EXPECT_EQ(MetricsServer::ListeningPorts("[::1]:10067"), "[::1]:10067");
}

}  // namespace
