// MonitorServer: the gateway's status and metrics endpoint, served over HTTP
// on the gateway's own event loop.
//
//   GET /         the technician's page (MonitorPage), which reads /status
//   GET /status   JSON: the gateway, the application server, the terminals
//   GET /metrics  Prometheus text format
//
// Every answer reads the figures of the moment it is asked, through the
// source the gateway gives: nothing is copied while nobody asks, and the
// endpoint lives and dies with the loop, with no thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "gateway/GatewayStats.h"

class QHttpServer;

namespace zel {

class MonitorServer {
public:
    using Source = std::function<StatsSnapshot()>;

    // Listens on `address` ("host:port"; port 0 lets the system choose), the
    // port for this process alone; throws std::runtime_error naming the
    // address when it cannot listen there. `source` is called on the loop's
    // thread, once per request.
    MonitorServer(const std::string& address, Source source);
    ~MonitorServer();
    MonitorServer(const MonitorServer&) = delete;
    MonitorServer& operator=(const MonitorServer&) = delete;

    // "host:port" as listened on.
    const std::string& Address() const { return address_; }

private:
    struct Metrics;
    std::string MetricsText();

    Source source_;
    std::unique_ptr<Metrics> metrics_;
    std::unique_ptr<QHttpServer> http_;
    std::string address_;
};

}  // namespace zel
