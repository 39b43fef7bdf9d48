#include "gateway/MonitorServer.h"

#include <unistd.h>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>
#include <QHostAddress>
#include <QHostInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTcpServer>
#include <QTcpSocket>

#include <stdexcept>

#include "gateway/MonitorPage.h"
#include "gateway/StatusJson.h"
#include "server/ServerAddress.h"

namespace zel {
namespace {

double UnixSeconds(WallClock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// A browser or a scraper holds a connection or two; more than this many at
// once is someone else's fault, and every one would be a descriptor the
// terminals could not have.
constexpr int kMaxMonitorConnections = 32;

// A listener that closes connections beyond kMaxMonitorConnections at once.
class CappedTcpServer : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr handle) override {
        if (open_ >= kMaxMonitorConnections) {
            ::close(static_cast<int>(handle));
            return;
        }
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            return;
        }
        // An answer goes out as headers and then a body: with Nagle's wait
        // on the second against the client's delayed acknowledgement of the
        // first, a large /status would take 40 ms.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        ++open_;
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        addPendingConnection(socket);
    }

private:
    int open_ = 0;
};

// The address to listen on: a number as it is, a name as the system resolves it.
QHostAddress HostAddressOf(const std::string& host) {
    QHostAddress address(QString::fromStdString(host));
    if (!address.isNull()) {
        return address;
    }
    const QHostInfo info = QHostInfo::fromName(QString::fromStdString(host));
    if (info.addresses().isEmpty()) {
        throw std::runtime_error("no address for host \"" + host + "\"");
    }
    return info.addresses().front();
}

QHttpServerResponse Answer(QByteArray type, std::string body) {
    QHttpServerResponse response(std::move(type), QByteArray::fromStdString(body));
    // Figures of the moment: a cached copy would be a wrong one.
    response.addHeader("Cache-Control", "no-store");
    response.addHeader("X-Content-Type-Options", "nosniff");
    return response;
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
    prometheus::Family<prometheus::Gauge>& serverUp;
    prometheus::Gauge* serverUpSample = nullptr;  // none while the state is unknown
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
                       .Register(registry)) {
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
        if (s.Server.Now != ServerHealth::Unknown) {
            if (serverUpSample == nullptr) {
                serverUpSample = &serverUp.Add({});
            }
            serverUpSample->Set(s.Server.Now == ServerHealth::Up ? 1 : 0);
        }
        applied = s;
        applied.Terminals.clear();
    }
};

MonitorServer::MonitorServer(const std::string& address, Source source)
    : source_(std::move(source)),
      metrics_(std::make_unique<Metrics>()),
      http_(std::make_unique<QHttpServer>()) {
    const auto failure = [&address](const std::string& why) {
        return std::runtime_error("[MONITOR] DIRECCION = \"" + address + "\": " + why);
    };
    ServerAddress where;
    QHostAddress host;
    try {
        where = ParseServerAddress(address, 0, true);
        host = HostAddressOf(where.Host);
    } catch (const std::exception& error) {
        throw failure(error.what());
    }
    using Method = QHttpServerRequest::Method;
    http_->route("/", Method::Get, [] {
        QHttpServerResponse response =
            Answer("text/html; charset=utf-8", std::string(MonitorPage()));
        // The page's own inline style and script, its own /status, and nothing else.
        response.addHeader("Content-Security-Policy",
                           "default-src 'none'; style-src 'unsafe-inline'; "
                           "script-src 'unsafe-inline'; connect-src 'self'; img-src data:; "
                           "form-action 'none'; base-uri 'none'; frame-ancestors 'none'");
        return response;
    });
    http_->route("/status", Method::Get,
                 [this] { return Answer("application/json", StatusJsonOf(source_())); });
    http_->route("/metrics", Method::Get, [this] {
        return Answer("text/plain; version=0.0.4; charset=utf-8", MetricsText());
    });
    // The port is bound here, by a listener of our own: QTcpServer takes it
    // with SO_REUSEADDR only, never SO_REUSEPORT, so a second gateway on the
    // same port is refused rather than handed every other request.
    auto* tcp = new CappedTcpServer(http_.get());  // the HTTP server's child
    if (!tcp->listen(host, where.Port)) {
        throw failure("cannot listen there (" + tcp->errorString().toStdString() + ")");
    }
    where.Port = tcp->serverPort();
    address_ = where.ToString();
    http_->bind(tcp);
}

MonitorServer::~MonitorServer() = default;

std::string MonitorServer::MetricsText() {
    metrics_->Apply(source_());
    return prometheus::TextSerializer().Serialize(metrics_->registry.Collect());
}

}  // namespace zel
