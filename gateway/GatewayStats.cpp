#include "gateway/GatewayStats.h"

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

}  // namespace

ReleaseCause ReleaseCauseOf(int errorCode) {
    if (errorCode == 0) {
        return ReleaseCause::Closed;
    }
    // Keep-alive probes that went unanswered end the connection with ETIMEDOUT.
    return errorCode == ETIMEDOUT ? ReleaseCause::KeepAlive : ReleaseCause::Reset;
}

GatewayStats::GatewayStats(WallClock::time_point startedAt, std::string serverAddress,
                           int pausePerTerminal) {
    base_.StartedAt = startedAt;
    base_.ServerAddress = std::move(serverAddress);
    base_.PausePerTerminal = pausePerTerminal;
}

void GatewayStats::LookupDone(std::chrono::nanoseconds latency, const LookupFailure* failure,
                              WallClock::time_point now) {
    const double seconds = std::chrono::duration<double>(latency).count();
    const auto bucket = std::lower_bound(kLatencyBounds.begin(), kLatencyBounds.end(), seconds);
    ++base_.LatencyBuckets[static_cast<std::size_t>(bucket - kLatencyBounds.begin())];
    base_.LatencySum += seconds;
    if (failure == nullptr) {
        base_.HasSucceeded = true;
        base_.LastSuccessAt = now;
        return;
    }
    ++base_.ServerErrors[static_cast<std::size_t>(failure->Kind)];
    base_.LastError = failure->Cause;
    base_.LastErrorAt = now;
}

StatsSnapshot GatewayStats::Snapshot(const SessionTable& sessions, std::size_t held,
                                     const ServerHealth& server, WallClock::time_point now,
                                     SessionClock::time_point steadyNow) const {
    StatsSnapshot s = base_;
    s.TakenAt = now;
    s.Scans = sessions.Tally();
    s.LookupsInFlight = sessions.LookupsInFlight();
    s.HeldBytes = held;
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

}  // namespace zel
