#include "ui/metrics_endpoint.h"

#include <wx/event.h>

#include <future>

MetricsEndpoint::MetricsEndpoint(const std::string& listen_address, DelayTimeMgr& engine,
                                 wxEvtHandler& gui, Reload reload)
    : gui_(gui), reload_(std::move(reload)), collector_(engine) {
  MetricsServer::Options options;
  options.listen_address = listen_address;
  server_ = std::make_unique<MetricsServer>(options, collector_, [this] { return ReloadOnGui(); });
  engine.EnableReplyHistograms(kDefaultBuckets);
  collector_.SetTargets(engine.targets);
}

// Stops the server before the collector it reads goes.
MetricsEndpoint::~MetricsEndpoint() {
  server_.reset();
}

void MetricsEndpoint::SetTargets(const DelayTimeMgr::TargetList& targets) {
  collector_.SetTargets(targets);
}

std::string MetricsEndpoint::ReloadOnGui() const {
  // Shared: a reload the wait gave up on still has somewhere to put its outcome.
  auto outcome = std::make_shared<std::promise<std::string>>();
  std::future<std::string> done = outcome->get_future();
  // The function, not this: the window's queue drops the call if the window goes first,
  // but this endpoint may go before the window.
  gui_.CallAfter([reload = reload_, outcome] {
    try {
      outcome->set_value(reload());
    } catch (const std::exception& error) {
      outcome->set_value(error.what());
    }
  });
  if (done.wait_for(kReloadWait) != std::future_status::ready) {
    return "the window did not read config.ini within " + std::to_string(kReloadWait.count()) +
           " s; it may be busy";
  }
  return done.get();
}
