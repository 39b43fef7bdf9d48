#include "gateway/MonitorServer.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>
#include <QTimer>
#include <algorithm>
#include <stdexcept>
#include <variant>

#include "gateway/MonitorPage.h"
#include "gateway/StatusJson.h"
#include "net/StreamConnection.h"
#include "net/StreamListener.h"
#include "server/ServerAddress.h"

namespace zel {
namespace {

using Phase = MonitorConnections::Phase;

double UnixSeconds(WallClock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// The page's own inline style and script, its own /status, and nothing else.
constexpr std::string_view PAGE_POLICY =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; form-action 'none'; base-uri 'none'; "
    "frame-ancestors 'none'";

// A closing connection's bytes are read and dropped, up to this many, so
// that its peer reads the answer before the close rather than a reset.
constexpr std::size_t LINGER_BYTES = 64 * 1024;

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

struct MonitorServer::Client {
    std::unique_ptr<StreamConnection> Socket;
    MonitorRequest Request;
    bool CloseAfter = false;  // the answer under way is the last
    std::size_t Dropped = 0;  // bytes read and dropped while closing
};

MonitorServer::MonitorServer(const std::string& address, Source source, Journal journal)
    : source_(std::move(source)),
      journal_(std::move(journal)),
      metrics_(std::make_unique<Metrics>()),
      timer_(std::make_unique<QTimer>()) {
    routes_ = {
        {"/",
         "text/html; charset=utf-8",
         [] { return std::string(MonitorPage()); },
         {{"Content-Security-Policy", std::string(PAGE_POLICY)}}},
        {"/status", "application/json", [this] { return StatusJsonOf(source_()); }},
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8", [this] { return MetricsText(); }},
    };
    timer_->setSingleShot(true);
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { Expire(); });
    StreamListener::Service service;
    service.Name = "Monitor port";
    service.Accepted = [this](int handle) { Accepted(handle); };
    service.MakeRoom = [this] { return GiveWay(); };
    service.Open = [this] { return clients_.size(); };
    service.Farewell =
        MonitorRefusal({503, "the gateway is out of file handles for now; try again later"});
    service.Journal = journal_;
    try {
        ServerAddress where = ParseServerAddress(address, 0, true);
        // Bound here with SO_REUSEADDR only, never SO_REUSEPORT: a second
        // gateway on the same port is refused rather than handed every
        // other request.
        listener_ = std::make_unique<StreamListener>(where.Host, where.Port, std::move(service));
        where.Port = listener_->Port();
        address_ = where.ToString();
    } catch (const std::exception& error) {
        throw std::runtime_error("[MONITOR] DIRECCION = \"" + address + "\": " + error.what());
    }
}

MonitorServer::~MonitorServer() {
    listener_.reset();
    clients_.clear();
}

std::string MonitorServer::MetricsText() {
    metrics_->Apply(source_());
    return prometheus::TextSerializer().Serialize(metrics_->registry.Collect());
}

void MonitorServer::Accepted(int handle) {
    const Time now = MonitorConnections::Clock::now();
    const MonitorConnections::Opened opened = table_.Open(now);
    if (opened.Evicted) {
        Drop(*opened.Evicted);
    }
    if (opened.Line && journal_) {
        journal_(*opened.Line);
    }
    const Id id = opened.Connection;
    StreamConnection::Events events;
    events.Received = [this, id](std::string_view bytes) { Received(id, bytes); };
    events.Drained = [this, id] { Drained(id); };
    events.Ended = [this, id] {
        Drop(id);
        Arm();
    };
    try {
        clients_[id].Socket = std::make_unique<StreamConnection>(handle, std::move(events));
    } catch (...) {
        Drop(id);
        throw;
    }
    Arm();
}

void MonitorServer::Received(Id id, std::string_view bytes) {
    Client& client = clients_.at(id);
    const Time now = MonitorConnections::Clock::now();
    const std::optional<Phase> phase = table_.PhaseOf(id);
    if (phase == Phase::Closing) {
        client.Dropped += bytes.size();
        if (client.Dropped > LINGER_BYTES) {
            client.Socket->SetReading(false);  // it waits for its time to end
        }
        return;
    }
    if (phase == Phase::Idle) {
        table_.Enter(id, Phase::Head, now);
    }
    client.Request.Add(bytes);
    Serve(id, now);
    Arm();
}

void MonitorServer::Serve(Id id, Time now) {
    const auto found = clients_.find(id);
    if (found == clients_.end()) {
        return;
    }
    Client& client = found->second;
    const RequestOutcome outcome = client.Request.Take();
    if (const auto* head = std::get_if<RequestHead>(&outcome)) {
        Answer(id, client, MonitorAnswer(routes_, *head), !head->KeepAlive, now);
    } else if (const auto* refusal = std::get_if<RequestRefusal>(&outcome)) {
        Answer(id, client, MonitorRefusal(*refusal), true, now);
    }
}

void MonitorServer::Answer(Id id, Client& client, const std::string& answer, bool close, Time now) {
    client.CloseAfter = close;
    const bool sent = client.Socket->Send(answer);
    if (client.Socket->Failed()) {
        Drop(id);
        return;
    }
    if (sent && (close || !client.Request.Started())) {
        AnswerOut(id, client, now);
        return;
    }
    // Nothing more is read while the client does not take its answer; and
    // requests sent ahead are answered one per pass of the loop, so that a
    // client that sends many at once cannot hold the terminals up.
    if (sent) {
        client.Socket->AwaitDrained();
    }
    client.Socket->SetReading(false);
    table_.Enter(id, Phase::Answer, now);
}

void MonitorServer::AnswerOut(Id id, Client& client, Time now) {
    table_.Answered(id, now);
    client.Socket->SetReading(true);
    if (client.CloseAfter) {
        client.Socket->ShutdownWrite();
        table_.Enter(id, Phase::Closing, now);
    } else {
        table_.Enter(id, client.Request.Started() ? Phase::Head : Phase::Idle, now);
    }
}

void MonitorServer::Drained(Id id) {
    Client& client = clients_.at(id);
    const Time now = MonitorConnections::Clock::now();
    AnswerOut(id, client, now);
    if (!client.CloseAfter) {
        Serve(id, now);  // a request that came with the one before
    }
    Arm();
}

void MonitorServer::Drop(Id id) {
    table_.Remove(id);
    if (clients_.erase(id) > 0 && listener_) {
        listener_->Released();
    }
}

bool MonitorServer::GiveWay() {
    const std::optional<Id> idlest = table_.Idlest();
    if (idlest) {
        Drop(*idlest);
    }
    return idlest.has_value();
}

void MonitorServer::Expire() {
    const Time now = MonitorConnections::Clock::now();
    for (const auto& [id, phase] : table_.Expired(now)) {
        const auto found = clients_.find(id);
        if (phase == Phase::Head && found != clients_.end() && found->second.Request.Started()) {
            Answer(id, found->second, MonitorRefusal({408, "the request's head took too long"}),
                   true, now);
        } else {
            Drop(id);
        }
    }
    Arm();
}

void MonitorServer::Arm() {
    const std::optional<Time> next = table_.NextDeadline();
    if (!next) {
        timer_->stop();
        return;
    }
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*next - MonitorConnections::Clock::now());
    timer_->start(std::max(wait, std::chrono::milliseconds(0)));
}

}  // namespace zel
