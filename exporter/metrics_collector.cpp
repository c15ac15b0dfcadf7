#include "exporter/metrics_collector.h"

const DelayHistogram::Bounds kDefaultBuckets{0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                             0.05,    0.1,    0.25,  0.5,    1,     2.5};

MetricsCollector::MetricsCollector(const DelayTimeMgr& engine)
    : engine_(engine), targets_(std::make_shared<const DelayTimeMgr::TargetList>()) {}

void MetricsCollector::SetTargets(const DelayTimeMgr::TargetList& targets) {
  auto copy = std::make_shared<const DelayTimeMgr::TargetList>(targets);
  const std::lock_guard<std::mutex> lock(targets_mutex_);
  targets_ = std::move(copy);
}

void MetricsCollector::CollectEach(
    const std::function<void(const prometheus::MetricFamily&)>& /*take*/) const {
  // Written on its own branch.
}

std::vector<prometheus::MetricFamily> MetricsCollector::Collect() const {
  std::vector<prometheus::MetricFamily> families;
  CollectEach([&families](const prometheus::MetricFamily& family) { families.push_back(family); });
  return families;
}
