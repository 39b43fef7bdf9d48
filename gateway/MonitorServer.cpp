#include "gateway/MonitorServer.h"

#include <httplib.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "server/ServerAddress.h"

namespace zel {
namespace {

double UnixSeconds(WallClock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// RFC 3339 in UTC, to the millisecond.
std::string TimeText(WallClock::time_point t) {
    const std::time_t seconds = WallClock::to_time_t(t);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[80];  // room for any year the format could print
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()) %
                    std::chrono::seconds(1);
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms.count()));
    return text;
}

}  // namespace

// The registry and its metrics; counters move on by what a snapshot adds to
// the one applied before.
struct MonitorServer::Metrics {
    prometheus::Registry registry;
    prometheus::Gauge& terminals;
    prometheus::Counter& accepted;
    std::vector<prometheus::Counter*> released;
    std::vector<prometheus::Counter*> scans;
    prometheus::Gauge& inFlight;
    prometheus::Histogram& latency;
    std::vector<prometheus::Counter*> serverErrors;
    prometheus::Gauge& held;
    prometheus::Gauge& pauseMode;
    prometheus::Gauge& startTime;
    prometheus::Gauge& serverUp;
    StatsSnapshot applied;

    Metrics()
        : terminals(prometheus::BuildGauge()
                        .Name("zel_terminals_connected")
                        .Help("Terminals connected now")
                        .Register(registry)
                        .Add({})),
          accepted(prometheus::BuildCounter()
                       .Name("zel_connections_accepted_total")
                       .Help("Terminal connections accepted")
                       .Register(registry)
                       .Add({})),
          inFlight(prometheus::BuildGauge()
                       .Name("zel_lookups_in_flight")
                       .Help("Lookups asked of the application server and not yet answered")
                       .Register(registry)
                       .Add({})),
          latency(prometheus::BuildHistogram()
                      .Name("zel_lookup_duration_seconds")
                      .Help("Time from a scan to the application server's answer")
                      .Register(registry)
                      .Add({}, kLatencyBounds)),
          held(prometheus::BuildGauge()
                   .Name("zel_held_bytes")
                   .Help("Bytes held for terminals that read slowly")
                   .Register(registry)
                   .Add({})),
          pauseMode(prometheus::BuildGauge()
                        .Name("zel_pause_per_terminal")
                        .Help("1: the pause holds only the terminal that scanned; 0: the whole "
                              "gateway")
                        .Register(registry)
                        .Add({})),
          startTime(prometheus::BuildGauge()
                        .Name("zel_start_time_seconds")
                        .Help("When the gateway started, in seconds since the epoch")
                        .Register(registry)
                        .Add({})),
          serverUp(prometheus::BuildGauge()
                       .Name("zel_app_server_up")
                       .Help("1 while the application server answers, 0 while it does not")
                       .Register(registry)
                       .Add({})) {
        auto& releasedFamily = prometheus::BuildCounter()
                                   .Name("zel_connections_released_total")
                                   .Help("Terminal connections released, by cause")
                                   .Register(registry);
        for (std::string_view cause : kReleaseCauseNames) {
            released.push_back(&releasedFamily.Add({{"cause", std::string(cause)}}));
        }
        auto& scansFamily = prometheus::BuildCounter()
                                .Name("zel_scans_total")
                                .Help("Reads from terminals, by outcome")
                                .Register(registry);
        for (const char* outcome : {"found", "not_found", "lookup_failed", "ignored"}) {
            scans.push_back(&scansFamily.Add({{"outcome", outcome}}));
        }
        auto& errorsFamily = prometheus::BuildCounter()
                                 .Name("zel_server_errors_total")
                                 .Help("Failed lookups on the application server, by cause")
                                 .Register(registry);
        for (std::string_view cause : kServerFailureNames) {
            serverErrors.push_back(&errorsFamily.Add({{"cause", std::string(cause)}}));
        }
        prometheus::BuildGauge()
            .Name("zel_build_info")
            .Help("The gateway's version")
            .Register(registry)
            .Add({{"version", ZEL_VERSION}})
            .Set(1);
    }

    void Apply(const StatsSnapshot& s) {
        const auto more = [](prometheus::Counter& counter, std::uint64_t now, std::uint64_t was) {
            if (now > was) {
                counter.Increment(static_cast<double>(now - was));
            }
        };
        terminals.Set(static_cast<double>(s.Terminals.size()));
        more(accepted, s.Accepted, applied.Accepted);
        for (std::size_t i = 0; i < released.size(); ++i) {
            more(*released[i], s.Released[i], applied.Released[i]);
        }
        const std::uint64_t now[] = {s.Scans.Found, s.Scans.NotFound, s.Scans.Failed,
                                     s.Scans.Ignored};
        const std::uint64_t was[] = {applied.Scans.Found, applied.Scans.NotFound,
                                     applied.Scans.Failed, applied.Scans.Ignored};
        for (std::size_t i = 0; i < scans.size(); ++i) {
            more(*scans[i], now[i], was[i]);
        }
        inFlight.Set(static_cast<double>(s.LookupsInFlight));
        std::vector<double> buckets(s.LatencyBuckets.size());
        bool observed = false;
        for (std::size_t i = 0; i < buckets.size(); ++i) {
            buckets[i] = static_cast<double>(s.LatencyBuckets[i] - applied.LatencyBuckets[i]);
            observed = observed || buckets[i] > 0;
        }
        if (observed) {
            latency.ObserveMultiple(buckets, s.LatencySum - applied.LatencySum);
        }
        for (std::size_t i = 0; i < serverErrors.size(); ++i) {
            more(*serverErrors[i], s.ServerErrors[i], applied.ServerErrors[i]);
        }
        held.Set(static_cast<double>(s.HeldBytes));
        pauseMode.Set(s.PausePerTerminal);
        startTime.Set(UnixSeconds(s.StartedAt));
        serverUp.Set(s.Server.Now == ServerHealth::Up ? 1 : 0);
        applied = s;
        applied.Terminals.clear();
    }
};

std::string StatusJsonOf(const StatsSnapshot& s) {
    using nlohmann::json;
    json server{{"address", s.ServerAddress.empty() ? std::string("127.0.0.1") : s.ServerAddress},
                {"last_success", s.HasSucceeded ? json(TimeText(s.LastSuccessAt)) : json()},
                {"last_error", s.LastError.empty() ? json() : json(s.LastError)},
                {"last_error_at", s.LastError.empty() ? json() : json(TimeText(s.LastErrorAt))},
                {"state", std::string(kServerStateNames[s.Server.Now])},
                {"since", TimeText(s.Server.Since)}};
    json terminals = json::array();
    for (const TerminalStatus& t : s.Terminals) {
        const std::size_t colon = t.Peer.rfind(':');
        json last;
        if (t.HasScanned) {
            last = {{"time", TimeText(t.LastScanAt)},
                    {"code", t.LastCode},
                    {"outcome", t.LastOutcome.empty() ? json() : json(std::string(t.LastOutcome))}};
        }
        terminals.push_back({{"address", t.Peer.substr(0, colon)},
                             {"port", std::stoi(t.Peer.substr(colon + 1))},
                             {"connected_since", TimeText(t.ConnectedAt)},
                             {"scans", t.Scans},
                             {"last_scan", last},
                             {"state", std::string(t.State)}});
    }
    const json status{
        {"version", ZEL_VERSION},
        {"started", TimeText(s.StartedAt)},
        {"uptime_seconds", std::chrono::duration<double>(s.TakenAt - s.StartedAt).count()},
        {"pause_per_terminal", s.PausePerTerminal},
        {"application_server", server},
        {"terminals", terminals}};
    return status.dump(2) + "\n";
}

MonitorServer::MonitorServer(const std::string& address, StatsSnapshot first)
    : latest_(std::move(first)),
      metrics_(std::make_unique<Metrics>()),
      http_(std::make_unique<httplib::Server>()) {
    ServerAddress where;
    try {
        where = ParseServerAddress(address, 0, true);
    } catch (const std::exception& error) {
        throw std::runtime_error("[MONITOR] DIRECCION = \"" + address + "\": " + error.what());
    }
    http_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
    });
    http_->Get("/status", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(StatusJson(), "application/json");
    });
    // A handful of people and scrapers: a small pool is plenty.
    http_->new_task_queue = [] { return new httplib::ThreadPool(2); };
    int port = where.Port;
    if (port == 0) {
        port = http_->bind_to_any_port(where.Host);
    } else if (!http_->bind_to_port(where.Host, port)) {
        port = -1;
    }
    if (port < 0) {
        throw std::runtime_error("[MONITOR] DIRECCION = \"" + address +
                                 "\": cannot listen there (taken, or not an address of this "
                                 "machine)");
    }
    where.Port = static_cast<std::uint16_t>(port);
    address_ = where.ToString();
    thread_ = std::thread([this] { http_->listen_after_bind(); });
}

MonitorServer::~MonitorServer() {
    http_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void MonitorServer::Publish(StatsSnapshot snapshot) {
    std::lock_guard guard(lock_);
    latest_ = std::move(snapshot);
}

std::string MonitorServer::MetricsText() {
    std::lock_guard guard(lock_);
    metrics_->Apply(latest_);
    return prometheus::TextSerializer().Serialize(metrics_->registry.Collect());
}

std::string MonitorServer::StatusJson() {
    StatsSnapshot copy;
    {
        std::lock_guard guard(lock_);
        copy = latest_;
    }
    return StatusJsonOf(copy);
}

}  // namespace zel
