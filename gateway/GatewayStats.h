// GatewayStats: the gateway's figures since its start, kept by the loop, and
// StatsSnapshot, all of them at one moment with every connected terminal, as
// the status and metrics endpoint shows them. Pure: the loop tells what
// happened and asks for a snapshot when the endpoint is asked; times are
// given by the caller.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/SessionTable.h"
#include "server/ServerError.h"
#include "server/ServerHealth.h"

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
    std::uint64_t Accepted = 0;
    std::array<std::uint64_t, kReleaseCauseNames.size()> Released{};
    ScanTally Scans;
    std::size_t LookupsInFlight = 0;
    // Latency: a count per bucket of kLatencyBounds and one above them.
    std::vector<std::uint64_t> LatencyBuckets =
        std::vector<std::uint64_t>(kLatencyBounds.size() + 1);
    double LatencySum = 0;
    std::array<std::uint64_t, kServerFailureNames.size()> ServerErrors{};
    std::size_t HeldBytes = 0;
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
};

class GatewayStats {
public:
    GatewayStats(WallClock::time_point startedAt, std::string serverAddress, int pausePerTerminal);

    void Accepted() { ++base_.Accepted; }
    void Released(ReleaseCause cause) { ++base_.Released[static_cast<std::size_t>(cause)]; }
    // A lookup's answer came after `latency`; `failure` is its cause, or null.
    void LookupDone(std::chrono::nanoseconds latency, const LookupFailure* failure,
                    WallClock::time_point now);

    // `held` is the bytes held for slow terminals; steady times of the sessions
    // are turned into wall-clock times through `now` and `steadyNow`.
    StatsSnapshot Snapshot(const SessionTable& sessions, std::size_t held,
                           const ServerHealth& server, WallClock::time_point now,
                           SessionClock::time_point steadyNow) const;

private:
    StatsSnapshot base_;
};

}  // namespace zel
