#include "gateway/GatewayStats.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <cerrno>

namespace zel {
namespace {

std::string_view OutcomeName(ScanOutcome outcome) {
    switch (outcome) {
        case ScanOutcome::Found:
            return "found";
        case ScanOutcome::NotFound:
            return "not_found";
        case ScanOutcome::Failed:
            return "failed";
        case ScanOutcome::None:
            break;
    }
    return "";
}

std::string_view StateName(SessionState state) {
    switch (state) {
        case SessionState::LookingUp:
            return "looking_up";
        case SessionState::Pausing:
            return "pausing";
        case SessionState::Idle:
        case SessionState::Closed:
            break;
    }
    return "idle";
}

double UnixSeconds(WallClock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

prometheus::Counter& CounterOf(prometheus::Registry& registry, const char* name, const char* help) {
    return prometheus::BuildCounter().Name(name).Help(help).Register(registry).Add({});
}

prometheus::Gauge& GaugeOf(prometheus::Registry& registry, const char* name, const char* help) {
    return prometheus::BuildGauge().Name(name).Help(help).Register(registry).Add({});
}

// One counter per label value, in the order of `values`.
template <class Values>
std::vector<prometheus::Counter*> CountersBy(prometheus::Registry& registry, const char* name,
                                             const char* help, const char* label,
                                             const Values& values) {
    auto& family = prometheus::BuildCounter().Name(name).Help(help).Register(registry);
    std::vector<prometheus::Counter*> counters;
    for (std::string_view value : values) {
        counters.push_back(&family.Add({{label, std::string(value)}}));
    }
    return counters;
}

// The outcomes of zel_scans_total: ScanOutcome's after None, then None's.
constexpr std::array<std::string_view, 4> SCAN_OUTCOMES{"found", "not_found", "lookup_failed",
                                                        "ignored"};

}  // namespace

// The series, registered in the order /metrics lists them.
struct GatewayStats::Series {
    explicit Series(prometheus::Registry& r)
        : terminals(GaugeOf(r, "zel_terminals_connected", "Terminals connected now")),
          accepted(CounterOf(r, "zel_connections_accepted_total", "Terminal connections accepted")),
          inFlight(GaugeOf(r, "zel_lookups_in_flight",
                           "Lookups asked of the application server and not yet answered")),
          latency(prometheus::BuildHistogram()
                      .Name("zel_lookup_duration_seconds")
                      .Help("Time from a scan to the application server's answer")
                      .Register(r)
                      .Add({}, kLatencyBounds)),
          held(GaugeOf(r, "zel_held_bytes", "Bytes held for terminals that read slowly")),
          pauseMode(GaugeOf(r, "zel_pause_per_terminal",
                            "1: the pause holds only the terminal that scanned; 0: the whole "
                            "gateway")),
          startTime(GaugeOf(r, "zel_start_time_seconds",
                            "When the gateway started, in seconds since the epoch")),
          serverUp(prometheus::BuildGauge()
                       .Name("zel_app_server_up")
                       .Help("1 while the application server answers, 0 while it does not")
                       .Register(r)),
          released(CountersBy(r, "zel_connections_released_total",
                              "Terminal connections released, by cause", "cause",
                              kReleaseCauseNames)),
          scans(CountersBy(r, "zel_scans_total", "Reads from terminals, by outcome", "outcome",
                           SCAN_OUTCOMES)),
          serverErrors(CountersBy(r, "zel_server_errors_total",
                                  "Failed lookups on the application server, by cause", "cause",
                                  kServerFailureNames)) {
        prometheus::BuildGauge()
            .Name("zel_build_info")
            .Help("The gateway's version")
            .Register(r)
            .Add({{"version", ZEL_VERSION}})
            .Set(1);
    }

    prometheus::Counter& Scans(ScanOutcome outcome) {
        const auto i = static_cast<std::size_t>(outcome);
        return *scans[i == 0 ? scans.size() - 1 : i - 1];
    }

    prometheus::Gauge& terminals;
    prometheus::Counter& accepted;
    prometheus::Gauge& inFlight;
    prometheus::Histogram& latency;
    prometheus::Gauge& held;
    prometheus::Gauge& pauseMode;
    prometheus::Gauge& startTime;
    prometheus::Family<prometheus::Gauge>& serverUp;
    prometheus::Gauge* serverUpSample = nullptr;  // none while the state is unknown
    std::vector<prometheus::Counter*> released;
    std::vector<prometheus::Counter*> scans;
    std::vector<prometheus::Counter*> serverErrors;
};

ReleaseCause ReleaseCauseOf(int errorCode) {
    if (errorCode == 0) {
        return ReleaseCause::Closed;
    }
    // Keep-alive probes that went unanswered end the connection with ETIMEDOUT.
    return errorCode == ETIMEDOUT ? ReleaseCause::KeepAlive : ReleaseCause::Reset;
}

GatewayStats::GatewayStats(WallClock::time_point startedAt, std::string serverAddress,
                           int pausePerTerminal)
    : registry_(std::make_unique<prometheus::Registry>()),
      series_(std::make_unique<Series>(*registry_)),
      startedAt_(startedAt),
      serverAddress_(std::move(serverAddress)),
      pausePerTerminal_(pausePerTerminal) {
    series_->pauseMode.Set(pausePerTerminal);
    series_->startTime.Set(UnixSeconds(startedAt));
}

GatewayStats::~GatewayStats() = default;

void GatewayStats::Accepted() {
    series_->accepted.Increment();
}

void GatewayStats::Released(ReleaseCause cause) {
    series_->released[static_cast<std::size_t>(cause)]->Increment();
}

void GatewayStats::Counted(ScanOutcome outcome) {
    series_->Scans(outcome).Increment();
}

void GatewayStats::LookupAsked(SessionId id, SessionClock::time_point now) {
    asked_[id] = now;
}

std::optional<SessionClock::duration> GatewayStats::LookupAnswered(SessionId id,
                                                                   const LookupFailure* failure,
                                                                   SessionClock::time_point now,
                                                                   WallClock::time_point wallNow) {
    const auto asked = asked_.find(id);
    if (asked == asked_.end()) {
        return std::nullopt;
    }
    const SessionClock::duration took = now - asked->second;
    series_->latency.Observe(std::chrono::duration<double>(took).count());
    asked_.erase(asked);
    if (failure == nullptr) {
        hasSucceeded_ = true;
        lastSuccessAt_ = wallNow;
    } else {
        series_->serverErrors[static_cast<std::size_t>(failure->Kind)]->Increment();
        lastError_ = failure->Cause;
        lastErrorAt_ = wallNow;
    }
    return took;
}

ScanTally GatewayStats::Scans() const {
    const auto count = [this](ScanOutcome outcome) {
        return static_cast<std::uint64_t>(series_->Scans(outcome).Value());
    };
    return {count(ScanOutcome::Found), count(ScanOutcome::NotFound), count(ScanOutcome::Failed),
            count(ScanOutcome::None)};
}

StatsSnapshot GatewayStats::Snapshot(const SessionTable& sessions, const ServerHealth& server,
                                     WallClock::time_point now,
                                     SessionClock::time_point steadyNow) const {
    StatsSnapshot s;
    s.StartedAt = startedAt_;
    s.TakenAt = now;
    s.Scans = Scans();
    s.PausePerTerminal = pausePerTerminal_;
    s.ServerAddress = serverAddress_;
    s.HasSucceeded = hasSucceeded_;
    s.LastSuccessAt = lastSuccessAt_;
    s.LastError = lastError_;
    s.LastErrorAt = lastErrorAt_;
    s.Server = server;
    const auto wall = [&](SessionClock::time_point t) {
        return now - std::chrono::duration_cast<WallClock::duration>(steadyNow - t);
    };
    for (const auto& [id, session] : sessions.Sessions()) {
        if (session.IsClosed()) {
            continue;  // gone; only its lookup or pause still runs out
        }
        const SessionCounters& c = session.Counters();
        TerminalStatus& t = s.Terminals.emplace_back();
        t.Peer = c.Peer;
        t.ConnectedAt = wall(c.ConnectedAt);
        t.Scans = c.Scans;
        t.Tally = c.Tally;
        t.HasScanned = c.Scans > 0;
        t.LastScanAt = wall(c.LastScanAt);
        t.LastCode = c.LastCode;
        t.LastOutcome = OutcomeName(c.LastOutcome);
        t.State = StateName(session.State());
        t.LastDescription = c.LastDescription;
        t.LastPrice = c.LastPrice;
        t.LastError = c.LastError;
    }
    return s;
}

std::string GatewayStats::MetricsText(const SessionTable& sessions, std::size_t held,
                                      const ServerHealth& server) {
    Series& m = *series_;
    m.terminals.Set(static_cast<double>(
        std::count_if(sessions.Sessions().begin(), sessions.Sessions().end(),
                      [](const auto& session) { return !session.second.IsClosed(); })));
    m.inFlight.Set(static_cast<double>(asked_.size()));
    m.held.Set(static_cast<double>(held));
    if (server.Now != ServerHealth::Unknown) {
        if (m.serverUpSample == nullptr) {
            m.serverUpSample = &m.serverUp.Add({});
        }
        m.serverUpSample->Set(server.Now == ServerHealth::Up ? 1 : 0);
    }
    return prometheus::TextSerializer().Serialize(registry_->Collect());
}

}  // namespace zel
