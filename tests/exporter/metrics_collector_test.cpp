#include "exporter/metrics_collector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <thread>

#include "platform/platform.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using std::chrono::milliseconds;
using Families = std::map<std::string, MetricFamily>;

// The names the rules, the dashboard and the exporter's users rely on.
const std::set<std::string> kAgreedNames = {
    "lumoret_requests_total",
    "lumoret_replies_total",
    "lumoret_timeouts_total",
    "lumoret_duplicate_replies_total",
    "lumoret_late_replies_total",
    "lumoret_reply_delay_seconds",
    "lumoret_host_up",
    "lumoret_host_state_since_seconds",
    "lumoret_host_resolved",
    "lumoret_send_errors_total",
    "lumoret_receive_errors_total",
    "lumoret_foreign_packets_total",
    "lumoret_malformed_packets_total",
    "lumoret_kernel_dropped_replies_total",
    "lumoret_stalls_total",
    "lumoret_targets",
    "lumoret_build_info",
    "process_cpu_seconds_total",
    "process_resident_memory_bytes",
    "process_virtual_memory_bytes",
    "process_open_fds",
    "process_max_fds",
    "process_start_time_seconds",
};

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

// The sample of host in family, or null.
const ClientMetric* Sample(const MetricFamily& family, const std::string& host) {
  const auto found =
      std::find_if(family.metric.begin(), family.metric.end(),
                   [&host](const ClientMetric& m) { return m.label[0].value == host; });
  return found == family.metric.end() ? nullptr : &*found;
}

std::vector<std::string> Hosts(const MetricFamily& family) {
  std::vector<std::string> hosts;
  for (const auto& metric : family.metric) {
    hosts.push_back(metric.label[0].value);
  }
  return hosts;
}

bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  return done();
}

// A probed host, one that does not resolve, and a host listed twice, read from a real
// engine after it stopped (so that every family sees the same counts).
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

  std::set<std::string> names;
  for (const auto& [name, family] : families) {
    names.insert(name);
  }
  EXPECT_EQ(names, kAgreedNames);
  // One series per host text: a second listing would repeat the first one's labels.
  EXPECT_EQ(Hosts(families.at("lumoret_requests_total")),
            (std::vector<std::string>{"127.0.0.1", "no-such-host.invalid"}));
  EXPECT_EQ(families.at("lumoret_targets").metric.at(0).gauge.value, 3);

  const ClientMetric* requests = Sample(families.at("lumoret_requests_total"), "127.0.0.1");
  const ClientMetric* replies = Sample(families.at("lumoret_replies_total"), "127.0.0.1");
  const ClientMetric* delays = Sample(families.at("lumoret_reply_delay_seconds"), "127.0.0.1");
  ASSERT_TRUE(requests && replies && delays);
  EXPECT_EQ(requests->label[1].value, "127.0.0.1");
  EXPECT_GE(replies->counter.value, 2);
  // The first request's reply is never accounted.
  EXPECT_GT(requests->counter.value, replies->counter.value);
  ASSERT_EQ(delays->histogram.bucket.size(), kDefaultBuckets.size() + 1);
  EXPECT_TRUE(std::isinf(delays->histogram.bucket.back().upper_bound));
  EXPECT_EQ(delays->histogram.bucket.back().cumulative_count, replies->counter.value);
  EXPECT_EQ(delays->histogram.sample_count, replies->counter.value);
  EXPECT_GT(delays->histogram.sample_sum, 0);
  EXPECT_LT(delays->histogram.sample_sum, 0.1 * replies->counter.value);
  const ClientMetric* since = Sample(families.at("lumoret_host_state_since_seconds"), "127.0.0.1");
  ASSERT_NE(since, nullptr);
  EXPECT_GE(since->gauge.value, started - 1);
  EXPECT_LE(since->gauge.value, WallSeconds());
  EXPECT_EQ(Sample(families.at("lumoret_host_up"), "127.0.0.1")->gauge.value, 1);
  EXPECT_EQ(Sample(families.at("lumoret_host_resolved"), "127.0.0.1")->gauge.value, 1);

  const std::string unresolved = "no-such-host.invalid";
  EXPECT_EQ(Sample(families.at("lumoret_requests_total"), unresolved)->label[1].value, "");
  EXPECT_EQ(Sample(families.at("lumoret_host_resolved"), unresolved)->gauge.value, 0);
  EXPECT_EQ(Sample(families.at("lumoret_host_up"), unresolved), nullptr);
  EXPECT_EQ(Sample(families.at("lumoret_host_state_since_seconds"), unresolved), nullptr);

  const auto& build = families.at("lumoret_build_info").metric.at(0);
  EXPECT_EQ(build.label.at(1).value,
            engine->socket_kind == platform::SocketKind::kRaw ? "raw" : "datagram");
}

// The process's figures, read from /proc, are of the right size and time.
TEST(MetricsCollectorTest, ProcessFigures) {
  auto engine = Engine({});
  if (!engine) {
    GTEST_SKIP() << "no right to open ICMP sockets here";
  }
  const MetricsCollector collector(*engine);
  const Families families = Scrape(collector);
  const auto value = [&families](const std::string& name) {
    return families.at(name).metric.at(0).gauge.value;
  };
  const double resident = value("process_resident_memory_bytes");
  EXPECT_GT(resident, 1 << 20);
  EXPECT_LT(resident, 16.0 * (1 << 30));
  EXPECT_GT(value("process_virtual_memory_bytes"), resident);
  EXPECT_GE(value("process_open_fds"), 3);  // the engine's socket and more
  EXPECT_LT(value("process_open_fds"), value("process_max_fds"));
  EXPECT_GT(value("process_start_time_seconds"), WallSeconds() - 3600);
  EXPECT_LE(value("process_start_time_seconds"), WallSeconds());
  const double cpu = families.at("process_cpu_seconds_total").metric.at(0).counter.value;
  EXPECT_GE(cpu, 0);
  EXPECT_LT(cpu, 3600);
  EXPECT_TRUE(families.at("lumoret_requests_total").metric.empty());
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
  EXPECT_EQ(families.at("lumoret_targets").metric.at(0).gauge.value, 3);
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
