// GatewayStats: the gateway's figures since its start, in one place: the
// counters and histograms are prometheus-cpp's, in one registry, moved by the
// loop as things happen; other modules may register series of their own in
// it (Registry). /metrics is the registry as text, with the gauges of the
// moment set first; /status is a StatsSnapshot: these figures with every
// connected terminal of the session table. The lookups in flight are counted
// here, from asked to answered. No I/O and no clock of its own: times are
// given by the caller.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gateway/NotFoundCodes.h"
#include "gateway/ScanHistory.h"
#include "gateway/SessionTable.h"
#include "gateway/TerminalNames.h"
#include "gateway/TerminalRoster.h"
#include "server/ServerError.h"
#include "server/ServerHealth.h"

namespace prometheus {
class Registry;
}

namespace zel {

// Why a terminal's connection was released.
enum class ReleaseCause { Closed, Reset, Overflow, KeepAlive };
inline constexpr std::array<std::string_view, 4> kReleaseCauseNames{"closed", "reset", "overflow",
                                                                    "keepalive"};
// The cause of a socket error raised before a release (an error code of 0: none).
ReleaseCause ReleaseCauseOf(int errorCode);

// Why a lookup on the application server failed (ServerFailure, in order).
inline constexpr std::array<std::string_view, 5> kServerFailureNames{
    "refused", "time_limit", "http_status", "bad_answer", "other"};
// ServerHealth::State, in order.
inline constexpr std::array<std::string_view, 3> kServerStateNames{"unknown", "up", "down"};

// Upper bounds of the lookup-latency buckets, in seconds.
inline const std::vector<double> kLatencyBounds{0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                0.5,   1,    2.5,   5,    10};

struct TerminalStatus {
    std::string Peer;  // "address:port"
    WallClock::time_point ConnectedAt;
    std::uint64_t Scans = 0;
    ScanTally Tally;
    bool HasScanned = false;
    WallClock::time_point LastScanAt;
    std::string LastCode;
    std::string_view LastOutcome;  // "found", "not_found", "failed"; "" before an answer
    std::string_view State;        // "idle", "looking_up", "pausing"
    // The last result as the terminal was shown it (UTF-8): the description and
    // the money text when found, the cause when it failed.
    std::string LastDescription;
    std::string LastPrice;
    std::string LastError;
};

struct StatsSnapshot {
    WallClock::time_point StartedAt;
    WallClock::time_point TakenAt;
    ScanTally Scans;
    int PausePerTerminal = 0;
    std::uint16_t TerminalPort = 0;
    std::string ServerAddress;
    bool HasSucceeded = false;
    WallClock::time_point LastSuccessAt;
    std::string LastError;
    WallClock::time_point LastErrorAt;
    ServerHealth Server;     // whether it answers, as the lookup client knows it
    std::string PricesAsOf;  // a store's replicated catalogue, as of; empty: current
    std::vector<TerminalStatus> Terminals;
    // What the terminals did beyond (TerminalActivity), and the shop's names
    // for them (null: none).
    std::vector<RosterEntry> Departed;   // gone now, the latest first
    std::vector<NotFoundCode> NotFound;  // the most scanned first
    HistoryView History;
    const TerminalNames* Names = nullptr;
};

class GatewayStats {
public:
    GatewayStats(WallClock::time_point startedAt, std::string serverAddress, int pausePerTerminal);
    ~GatewayStats();
    GatewayStats(const GatewayStats&) = delete;
    GatewayStats& operator=(const GatewayStats&) = delete;

    // Where further series go, beside these; it lives as long as this.
    prometheus::Registry& Registry() { return *registry_; }

    void Accepted();
    void Released(ReleaseCause cause);
    void Counted(ScanOutcome outcome);  // None: a read that held no code
    void LookupAsked(SessionId id, SessionClock::time_point now);
    // The answer to id's lookup came; `failure` is its cause, or null. The
    // time it took, from asked to answered; none for an id not asked for,
    // which is ignored.
    std::optional<SessionClock::duration> LookupAnswered(SessionId id, const LookupFailure* failure,
                                                         SessionClock::time_point now,
                                                         WallClock::time_point wallNow);

    ScanTally Scans() const;
    std::size_t LookupsInFlight() const { return asked_.size(); }

    // Steady times of the sessions are turned into wall-clock times through
    // `now` and `steadyNow`.
    StatsSnapshot Snapshot(const SessionTable& sessions, const ServerHealth& server,
                           WallClock::time_point now, SessionClock::time_point steadyNow) const;
    // The registry in Prometheus' text format; `held` is the bytes held for
    // slow terminals.
    std::string MetricsText(const SessionTable& sessions, std::size_t held,
                            const ServerHealth& server);

private:
    struct Series;  // prometheus-cpp's objects of the figures below

    std::unique_ptr<prometheus::Registry> registry_;
    std::unique_ptr<Series> series_;
    WallClock::time_point startedAt_;
    std::string serverAddress_;
    int pausePerTerminal_;
    bool hasSucceeded_ = false;
    WallClock::time_point lastSuccessAt_;
    std::string lastError_;
    WallClock::time_point lastErrorAt_;
    std::unordered_map<SessionId, SessionClock::time_point> asked_;
};

}  // namespace zel
