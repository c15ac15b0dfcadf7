#include "exporter/metrics_collector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>

#include "platform/platform.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using std::chrono::milliseconds;
using Families = std::map<std::string, MetricFamily>;

// The names the rules, the dashboard and the exporter's users rely on.
constexpr char kAgreedNames[] =
    "lumoret_build_info lumoret_duplicate_replies_total lumoret_foreign_packets_total "
    "lumoret_host_resolved lumoret_host_state_since_seconds lumoret_host_up "
    "lumoret_kernel_dropped_replies_total lumoret_late_replies_total "
    "lumoret_malformed_packets_total lumoret_receive_errors_total lumoret_replies_total "
    "lumoret_reply_delay_seconds lumoret_requests_total lumoret_send_errors_total "
    "lumoret_stalls_total lumoret_targets lumoret_timeouts_total process_cpu_seconds_total "
    "process_max_fds process_open_fds process_resident_memory_bytes process_start_time_seconds "
    "process_virtual_memory_bytes";

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// An engine on loopback probing hosts (the suite runs in a private network namespace),
// or null where the process may open no ICMP socket.
std::unique_ptr<DelayTimeMgr> Engine(const std::vector<std::string>& hosts) {
  try {
    auto engine =
        std::make_unique<DelayTimeMgr>(DelayTimeMgr::OpenIcmpSocket(), nullptr, -1, hosts);
    engine->EnableReplyHistograms(kDefaultBuckets);
    return engine;
  } catch (const platform::RightsError&) {
    return nullptr;
  }
}

Families Scrape(const MetricsCollector& collector) {
  Families families;
  collector.CollectEach([&families](const MetricFamily& family) {
    EXPECT_TRUE(families.emplace(family.name, family).second) << family.name << " twice";
  });
  return families;
}

// The sample of host in family (the family's only one for no host), or null.
const ClientMetric* Sample(const Families& families, const std::string& name,
                           const std::string& host = "") {
  const auto& metrics = families.at(name).metric;
  const auto found = std::find_if(metrics.begin(), metrics.end(), [&host](const ClientMetric& m) {
    return host.empty() || m.label.at(0).value == host;
  });
  return found == metrics.end() ? nullptr : &*found;
}

// A counter's or gauge's value, NaN when there is no sample.
double Value(const Families& families, const std::string& name, const std::string& host = "") {
  const ClientMetric* sample = Sample(families, name, host);
  const bool counter = families.at(name).type == prometheus::MetricType::Counter;
  return !sample ? std::nan("") : counter ? sample->counter.value : sample->gauge.value;
}

std::vector<std::string> Hosts(const MetricFamily& family) {
  std::vector<std::string> hosts;
  for (const auto& metric : family.metric) {
    hosts.push_back(metric.label[0].value);
  }
  return hosts;
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) {  // 10 s
    std::this_thread::sleep_for(milliseconds(20));
  }
  return done();
}

// A probed host, one that does not resolve, and a host listed twice, read from a real
// engine after it stopped (so that every family sees the same counts); and the process.
TEST(MetricsCollectorTest, ProbedUnresolvedAndTwiceListedHosts) {
  const double started = WallSeconds();
  auto engine = Engine({"127.0.0.1", "no-such-host.invalid", "127.0.0.1"});
  if (!engine) {
    GTEST_SKIP() << "no right to open ICMP sockets here";
  }
  MetricsCollector collector(*engine);
  collector.SetTargets(engine->targets);
  ASSERT_TRUE(engine->Start());
  EXPECT_TRUE(WaitFor([&] { return engine->targets[0]->reply_count >= 2; }));
  engine->Stop();
  const Families families = Scrape(collector);

  std::string names;
  for (const auto& [name, family] : families) {
    names += (names.empty() ? "" : " ") + name;
  }
  EXPECT_EQ(names, kAgreedNames);
  // One series per host text: a second listing would repeat the first one's labels.
  EXPECT_EQ(Hosts(families.at("lumoret_requests_total")),
            (std::vector<std::string>{"127.0.0.1", "no-such-host.invalid"}));
  EXPECT_EQ(Value(families, "lumoret_targets"), 3);

  const std::string host = "127.0.0.1";
  const double replies = Value(families, "lumoret_replies_total", host);
  // The first request's reply is never accounted.
  EXPECT_GT(Value(families, "lumoret_requests_total", host), replies);
  EXPECT_EQ(Sample(families, "lumoret_requests_total", host)->label[1].value, host);
  const auto& delays = Sample(families, "lumoret_reply_delay_seconds", host)->histogram;
  ASSERT_EQ(delays.bucket.size(), kDefaultBuckets.size() + 1);
  EXPECT_EQ(delays.bucket.back().cumulative_count, replies);
  EXPECT_EQ(delays.sample_count, replies);
  EXPECT_GT(delays.sample_sum, 0);
  EXPECT_LT(delays.sample_sum, 0.1 * replies);
  EXPECT_NEAR(Value(families, "lumoret_host_state_since_seconds", host), started, 10);
  EXPECT_EQ(Value(families, "lumoret_host_up", host), 1);
  EXPECT_EQ(Value(families, "lumoret_host_resolved", host), 1);

  const std::string unresolved = "no-such-host.invalid";
  EXPECT_EQ(Sample(families, "lumoret_requests_total", unresolved)->label[1].value, "");
  EXPECT_EQ(Value(families, "lumoret_host_resolved", unresolved), 0);
  EXPECT_EQ(Sample(families, "lumoret_host_up", unresolved), nullptr);
  EXPECT_EQ(Sample(families, "lumoret_host_state_since_seconds", unresolved), nullptr);
  EXPECT_EQ(Sample(families, "lumoret_build_info")->label.at(1).value,
            engine->socket_kind == platform::SocketKind::kRaw ? "raw" : "datagram");

  // The process's figures, from /proc, in bytes (not pages or KiB) and seconds (not ticks).
  const double resident = Value(families, "process_resident_memory_bytes");
  EXPECT_GT(resident, 1 << 20);
  EXPECT_GT(Value(families, "process_virtual_memory_bytes"), resident);
  EXPECT_GE(Value(families, "process_open_fds"), 3);  // the engine's socket and more
  EXPECT_NEAR(Value(families, "process_start_time_seconds"), started - 1800, 1800);
  EXPECT_LT(Value(families, "process_cpu_seconds_total"), 3600);
}

// The list changes on the owner's thread while another thread scrapes (run under TSan
// too); the scrape after the last change reports the new list.
TEST(MetricsCollectorTest, NewListWhileScraping) {
  auto engine = Engine({"127.0.0.1"});
  if (!engine) {
    GTEST_SKIP() << "no right to open ICMP sockets here";
  }
  MetricsCollector collector(*engine);
  collector.SetTargets(engine->targets);
  ASSERT_TRUE(engine->Start());
  std::atomic<bool> done{false};
  std::atomic<int> scrapes{0};
  std::thread scraper([&] {
    for (int i = 0; i < 10000 && !done; ++i) {
      collector.CollectEach([](const MetricFamily&) {});
      ++scrapes;
    }
  });
  const std::vector<std::vector<std::string>> lists = {
      {"127.0.0.1", "localhost"}, {"localhost"}, {"127.0.0.2", "localhost", "127.0.0.3"}};
  for (int round = 0; round < 12; ++round) {
    const auto& hosts = lists[round % lists.size()];
    engine->ChangeTargets(DelayTimeMgr::MatchHosts(engine->targets, hosts));
    collector.SetTargets(engine->targets);
    std::this_thread::sleep_for(milliseconds(30));
  }
  done = true;
  scraper.join();
  EXPECT_GT(scrapes, 0);
  const Families families = Scrape(collector);
  EXPECT_EQ(Hosts(families.at("lumoret_host_resolved")), lists[11 % lists.size()]);
  engine->Stop();
}

// Prometheus' buckets hold delays less than or equal to their bound: a delay exactly on
// a bound counts there, a nanosecond more in the next.
TEST(MetricsCollectorTest, DelayOnABoundCountsInItsBucket) {
  DelayHistogram histogram(
      std::make_shared<const DelayHistogram::Bounds>(DelayHistogram::Bounds{0.001, 0.0025}));
  histogram.Observe(std::chrono::microseconds(1000));
  histogram.Observe(std::chrono::nanoseconds(2500000));
  histogram.Observe(std::chrono::nanoseconds(2500001));
  EXPECT_EQ(histogram.Read().cumulative, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_DOUBLE_EQ(histogram.Read().sum_seconds, 0.006000001);
}

}  // namespace
