#include "exporter/metrics_collector.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "engine/clock_pair.h"
#include "exporter/process_figures.h"

const DelayHistogram::Bounds kDefaultBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                             0.05,   0.1,   0.25,   0.5,   1};

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;
using Take = std::function<void(MetricFamily&)>;

constexpr auto kRelaxed = std::memory_order_relaxed;

// A per-host counter: its family and how to read it from a target.
struct HostCounter {
  const char* name;                           // with _total, as prometheus-cpp names counters
  const char* help;                           // what it counts
  std::uint64_t (*read)(const DelayTarget&);  // the count now
};

const HostCounter kHostCounters[] = {
    {"lumoret_requests_total", "Echo requests sent to the host.",
     [](const DelayTarget& t) { return t.requests_sent(); }},
    {"lumoret_replies_total",
     "Echo replies that came within the wait and were accounted (not the first one).",
     [](const DelayTarget& t) { return std::uint64_t{t.reply_count.load(kRelaxed)}; }},
    {"lumoret_timeouts_total", "Echo requests whose 5-second wait ran out without a reply.",
     [](const DelayTarget& t) { return std::uint64_t{t.timeout_count.load(kRelaxed)}; }},
    {"lumoret_duplicate_replies_total", "Further copies of replies already counted.",
     [](const DelayTarget& t) { return std::uint64_t{t.duplicate_count.load(kRelaxed)}; }},
    {"lumoret_late_replies_total", "Replies that came after their request's wait ran out.",
     [](const DelayTarget& t) { return std::uint64_t{t.late_count.load(kRelaxed)}; }},
};

// An engine-wide counter: its family and the engine's count.
struct EngineCounter {
  const char* name;                                         // with _total
  const char* help;                                         // what it counts
  const std::atomic<std::uint32_t> DelayTimeMgr::*counter;  // the engine's count
};

const EngineCounter kEngineCounters[] = {
    {"lumoret_send_errors_total", "Echo requests the system refused to send.",
     &DelayTimeMgr::send_error_count},
    {"lumoret_receive_errors_total", "Failed waits and reads on the ICMP sockets.",
     &DelayTimeMgr::receive_error_count},
    {"lumoret_foreign_packets_total", "ICMP packets received that were not replies to us.",
     &DelayTimeMgr::foreign_count},
    {"lumoret_malformed_packets_total", "ICMP packets received too short or not IPv4.",
     &DelayTimeMgr::malformed_count},
    {"lumoret_kernel_dropped_replies_total",
     "Replies the system dropped before they were read, a receive buffer full.",
     &DelayTimeMgr::kernel_drop_count},
    {"lumoret_stalls_total", "Times the prober woke over a second late.",
     &DelayTimeMgr::stall_count},
};

MetricFamily Family(const char* name, const char* help, MetricType type) {
  MetricFamily family;
  family.name = name;
  family.help = help;
  family.type = type;
  return family;
}

// host and ip of each reported target, taken once per scrape so that every family of a
// scrape names a host alike; ip is empty while the host has no address.
std::vector<Labels> HostLabels(const DelayTimeMgr::TargetList& targets) {
  std::vector<Labels> labels;
  labels.reserve(targets.size());
  for (const auto& target : targets) {
    // resolved is set after the address: an address seen resolved is a whole one.
    const bool resolved = target->resolved.load(std::memory_order_acquire);
    std::string ip = resolved ? target->address().address.address().to_string() : "";
    labels.push_back({{"host", target->host}, {"ip", std::move(ip)}});
  }
  return labels;
}

// A family of one sample per host, fill(target, its labels, sample) setting each value; a
// host for which it returns false is left out.
template <typename Fill>
void TakeHostFamily(MetricFamily family, const DelayTimeMgr::TargetList& targets,
                    const std::vector<Labels>& labels, Fill fill, const Take& take) {
  family.metric.reserve(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    ClientMetric metric;
    if (fill(*targets[i], labels[i], metric)) {
      metric.label = labels[i];
      family.metric.push_back(std::move(metric));
    }
  }
  take(family);
}

bool FillHistogram(const DelayTarget& target, ClientMetric& metric) {
  const DelayHistogram* histogram = target.histogram();
  if (histogram == nullptr) {
    return false;
  }
  const DelayHistogram::Reading reading = histogram->Read();
  const DelayHistogram::Bounds& bounds = histogram->bounds();
  auto& buckets = metric.histogram.bucket;
  buckets.reserve(reading.cumulative.size());
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    buckets.push_back({reading.cumulative[i], bounds[i]});
  }
  metric.histogram.sample_count = reading.cumulative.back();
  buckets.push_back({metric.histogram.sample_count, std::numeric_limits<double>::infinity()});
  metric.histogram.sample_sum = reading.sum_seconds;
  return true;
}

// Whether state says up or down: not while a host waits for its first replies or has no
// address.
bool UpOrDown(HostState state) {
  return state == HostState::kUp || state == HostState::kLossy || state == HostState::kDown;
}

void TakeHostFamilies(const DelayTimeMgr::TargetList& targets,
                      const MetricsCollector::Judgement& judged, const Take& take) {
  const std::vector<Labels> labels = HostLabels(targets);
  for (const HostCounter& counter : kHostCounters) {
    TakeHostFamily(
        Family(counter.name, counter.help, MetricType::Counter), targets, labels,
        [&counter](const DelayTarget& t, const Labels&, ClientMetric& metric) {
          metric.counter.value = static_cast<double>(counter.read(t));
          return true;
        },
        take);
  }
  TakeHostFamily(
      Family("lumoret_reply_delay_seconds",
             "Delays of accounted replies, from the kernel's receive stamps.",
             MetricType::Histogram),
      targets, labels,
      [](const DelayTarget& t, const Labels&, ClientMetric& metric) {
        return FillHistogram(t, metric);
      },
      take);
  // By position among targets, as the board counts them.
  std::size_t up_index = 0;
  TakeHostFamily(
      Family("lumoret_host_up",
             "1 while the host answers (its row up or lossy), 0 once it is down (two "
             "requests in a row unanswered, by default).",
             MetricType::Gauge),
      targets, labels,
      [&](const DelayTarget&, const Labels&, ClientMetric& metric) {
        const HostState state = judged.states[up_index++];
        metric.gauge.value = state == HostState::kDown ? 0 : 1;  // lossy is up
        return UpOrDown(state);
      },
      take);
  std::size_t since_index = 0;
  TakeHostFamily(
      Family("lumoret_host_state_since_seconds",
             "Unix time the host's current up or down state began.", MetricType::Gauge),
      targets, labels,
      [&](const DelayTarget&, const Labels&, ClientMetric& metric) {
        const std::size_t i = since_index++;
        metric.gauge.value = static_cast<double>(judged.since_ms[i]) / 1000;
        return UpOrDown(judged.states[i]) && judged.since_ms[i] != 0;
      },
      take);
  TakeHostFamily(
      Family("lumoret_host_resolved", "1 while the host has an address to probe, else 0.",
             MetricType::Gauge),
      targets, labels,
      [](const DelayTarget&, const Labels& host, ClientMetric& metric) {
        metric.gauge.value = host[1].value.empty() ? 0 : 1;
        return true;
      },
      take);
}

void TakeSingle(const char* name, const char* help, MetricType type, double value, const Take& take,
                Labels labels = {}) {
  MetricFamily family = Family(name, help, type);
  ClientMetric metric;
  metric.label = std::move(labels);
  (type == MetricType::Counter ? metric.counter.value : metric.gauge.value) = value;
  family.metric.push_back(std::move(metric));
  take(family);
}

void TakeOptional(const char* name, const char* help, MetricType type,
                  const std::optional<double>& value, const Take& take) {
  if (value) {
    TakeSingle(name, help, type, *value, take);
  }
}

void TakeProcessFamilies(const Take& take) {
  const ProcessFigures figures = ProcessFigures::Read();
  TakeOptional("process_cpu_seconds_total", "User and system CPU time spent, in seconds.",
               MetricType::Counter, figures.cpu_seconds, take);
  TakeOptional("process_resident_memory_bytes", "Resident memory size in bytes.", MetricType::Gauge,
               figures.resident_bytes, take);
  TakeOptional("process_virtual_memory_bytes", "Virtual memory size in bytes.", MetricType::Gauge,
               figures.virtual_bytes, take);
  TakeOptional("process_open_fds", "Number of open file descriptors.", MetricType::Gauge,
               figures.open_fds, take);
  TakeOptional("process_max_fds", "Maximum number of open file descriptors.", MetricType::Gauge,
               figures.max_fds, take);
  TakeOptional("process_start_time_seconds", "Start time of the process since the Unix epoch.",
               MetricType::Gauge, figures.start_time_seconds, take);
}

}  // namespace

MetricsCollector::MetricsCollector(const DelayTimeMgr& engine, const HostStateRules& rules)
    : engine_(engine), rules_(rules) {
  SetTargets({});
}

void MetricsCollector::SetTargets(const DelayTimeMgr::TargetList& targets) {
  auto listing = std::make_shared<Listing>();
  listing->listed = targets.size();
  std::unordered_set<std::string> hosts;
  for (const auto& target : targets) {
    if (hosts.insert(target->host).second) {
      listing->reported.push_back(target);
    }
  }
  listing->since_ms.assign(listing->reported.size(), 0);
  const std::lock_guard<std::mutex> lock(targets_mutex_);
  // A board of its own: the first scrape judges each host from the probes in its ring, so
  // a host that stays keeps its state (its start is found again within the ring's reach).
  listing->board = std::make_unique<StateBoard>(listing->reported, rules_);
  targets_ = std::move(listing);
}

void MetricsCollector::SetRules(const HostStateRules& rules) {
  const std::lock_guard<std::mutex> lock(targets_mutex_);
  rules_ = rules;
  const std::lock_guard<std::mutex> board_lock(targets_->board_mutex);
  targets_->board->SetRules(rules);
}

MetricsCollector::Judgement MetricsCollector::Judge(const Listing& listing) {
  const std::lock_guard<std::mutex> lock(listing.board_mutex);
  for (const StateBoard::Change& change : listing.board->Update(ClockPair::Now())) {
    listing.since_ms[change.target] = change.at_ms;
  }
  Judgement judged;
  judged.states.reserve(listing.reported.size());
  for (std::size_t i = 0; i < listing.reported.size(); ++i) {
    judged.states.push_back(listing.board->state(i));
  }
  judged.since_ms = listing.since_ms;
  return judged;
}

std::shared_ptr<const MetricsCollector::Listing> MetricsCollector::CurrentListing() const {
  const std::lock_guard<std::mutex> lock(targets_mutex_);
  return targets_;
}

void MetricsCollector::CollectEach(const Take& take) const {
  const std::shared_ptr<const Listing> listing = CurrentListing();
  TakeHostFamilies(listing->reported, Judge(*listing), take);
  for (const EngineCounter& counter : kEngineCounters) {
    TakeSingle(counter.name, counter.help, MetricType::Counter,
               (engine_.*counter.counter).load(kRelaxed), take);
  }
  TakeSingle("lumoret_targets", "Hosts in the list, every listing counted.", MetricType::Gauge,
             static_cast<double>(listing->listed), take);
  const bool raw = engine_.socket_kind == platform::SocketKind::kRaw;
  TakeSingle("lumoret_build_info", "Always 1: the version, and how requests go out.",
             MetricType::Gauge, 1, take,
             {{"version", LUMORET_VERSION}, {"socket", raw ? "raw" : "datagram"}});
  TakeProcessFamilies(take);
}

std::vector<prometheus::MetricFamily> MetricsCollector::Collect() const {
  std::vector<prometheus::MetricFamily> families;
  CollectEach(
      [&families](prometheus::MetricFamily& family) { families.push_back(std::move(family)); });
  return families;
}
