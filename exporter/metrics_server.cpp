#include "exporter/metrics_server.h"

#include <CivetServer.h>

MetricsServer::MetricsServer(const Options& /*options*/, const MetricsCollector& collector,
                             Reload reload)
    : collector_(collector), reload_(std::move(reload)) {
  // Written on its own branch.
}

MetricsServer::~MetricsServer() = default;

int MetricsServer::port() const {
  return 0;
}
