// TerminalActivity: what the shop's terminals did beyond what the connected
// ones show: the terminals that left (TerminalRoster), the codes the
// catalogue lacked (NotFoundCodes) and the last hour of scans (ScanHistory),
// fed by the gateway's events and described into a StatsSnapshot. Pure:
// times come from the caller.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/GatewayStats.h"
#include "gateway/NotFoundCodes.h"
#include "gateway/ScanHistory.h"
#include "gateway/SessionTable.h"
#include "gateway/TerminalRoster.h"

namespace zel {

inline constexpr std::size_t SHOWN_NOT_FOUND_CODES = 50;

// The address of "address:port".
std::string_view AddressOfPeer(std::string_view peer);

// Told of every change to a terminal the roster remembers, as it happens.
class RosterObserver {
public:
    virtual ~RosterObserver() = default;
    virtual void Changed(const RosterEntry& terminal) = 0;
    virtual void Forgotten(const std::string& address) = 0;
};

class TerminalActivity {
public:
    // Null: nobody is told.
    void SetObserver(RosterObserver* observer) { observer_ = observer; }

    void Connected(std::string_view address, WallClock::time_point now);
    void Received(std::string_view address, WallClock::time_point now);
    void Released(std::string_view address, ReleaseCause cause, WallClock::time_point now);
    void ScanEnded(const ScanEnd& end, WallClock::time_point now);
    void LookupTimed(std::chrono::nanoseconds took, WallClock::time_point now);
    // Forgets the terminals gone for longer than the roster remembers.
    void Expire(WallClock::time_point now);

    // The terminals gone, the codes not found (the SHOWN_NOT_FOUND_CODES most
    // scanned) and the last hour, into `s`.
    void Describe(StatsSnapshot& s, WallClock::time_point now) const;

    const TerminalRoster& Roster() const { return roster_; }
    const NotFoundCodes& NotFound() const { return notFound_; }

private:
    void Tell(std::string_view address) const;
    void TellForgotten(const std::vector<std::string>& addresses) const;

    RosterObserver* observer_ = nullptr;
    TerminalRoster roster_;
    NotFoundCodes notFound_;
    ScanHistory history_;
};

}  // namespace zel
