// MonitorServer: the gateway's status and metrics endpoint, over HTTP on a
// thread of its own, so that it answers whatever the terminals' loop does.
//
//   GET /metrics  Prometheus text format
//   GET /status   JSON: version, uptime, the application server, the terminals
//
// The loop publishes a StatsSnapshot after each event; requests read the
// latest one whole, so every figure of an answer is of the same moment.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/GatewayStats.h"

namespace httplib {
class Server;
}

namespace zel {

class MonitorServer {
public:
    // Listens on `address` ("host:port"; port 0 lets the system choose) and
    // serves from its thread; throws std::runtime_error naming the address
    // when it cannot listen.
    MonitorServer(const std::string& address, StatsSnapshot first);
    ~MonitorServer();  // stops the thread
    MonitorServer(const MonitorServer&) = delete;
    MonitorServer& operator=(const MonitorServer&) = delete;

    void Publish(StatsSnapshot snapshot);
    // "host:port" as listened on.
    const std::string& Address() const { return address_; }

private:
    struct Metrics;
    std::string MetricsText();
    std::string StatusJson();

    std::mutex lock_;
    StatsSnapshot latest_;
    std::unique_ptr<Metrics> metrics_;  // under lock_
    std::unique_ptr<httplib::Server> http_;
    std::string address_;
    std::thread thread_;
};

// The two answers, from one snapshot; pure, for the tests.
std::string StatusJsonOf(const StatsSnapshot& snapshot);

}  // namespace zel
