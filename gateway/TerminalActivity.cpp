#include "gateway/TerminalActivity.h"

namespace zel {
namespace {

Departure DepartureOf(ReleaseCause cause) {
    switch (cause) {
        case ReleaseCause::Closed:
            return Departure::Closed;
        case ReleaseCause::Reset:
            return Departure::Reset;
        case ReleaseCause::Overflow:   // it read nothing of what it was sent
        case ReleaseCause::KeepAlive:  // it answered no keep-alive probe
            break;
    }
    return Departure::Error;
}

}  // namespace

std::string_view AddressOfPeer(std::string_view peer) {
    return peer.substr(0, peer.rfind(':'));
}

void TerminalActivity::Tell(std::string_view address) const {
    if (observer_ != nullptr) {
        if (const RosterEntry* terminal = roster_.Find(address)) {
            observer_->Changed(*terminal);
        }
    }
}

void TerminalActivity::TellForgotten(const std::vector<std::string>& addresses) const {
    if (observer_ != nullptr) {
        for (const std::string& address : addresses) {
            observer_->Forgotten(address);
        }
    }
}

void TerminalActivity::Connected(std::string_view address, WallClock::time_point now) {
    std::vector<std::string> forgotten = roster_.Expire(now);
    roster_.Connected(address, now, forgotten);
    TellForgotten(forgotten);
    Tell(address);
}

void TerminalActivity::Received(std::string_view address, WallClock::time_point now) {
    roster_.Seen(address, now);
    Tell(address);
}

void TerminalActivity::Released(std::string_view address, ReleaseCause cause,
                                WallClock::time_point now) {
    if (roster_.Left(address, DepartureOf(cause), now)) {
        TellForgotten({std::string(address)});
    } else {
        Tell(address);
    }
}

void TerminalActivity::ScanEnded(const ScanEnd& end, WallClock::time_point now) {
    history_.Scanned(end.Outcome, now);
    if (end.Outcome == ScanOutcome::NotFound) {
        notFound_.Add(end.Code, AddressOfPeer(end.Peer), now);
    }
}

void TerminalActivity::LookupTimed(std::chrono::nanoseconds took, WallClock::time_point now) {
    history_.LookupTimed(took, now);
}

void TerminalActivity::Expire(WallClock::time_point now) {
    TellForgotten(roster_.Expire(now));
}

void TerminalActivity::Describe(StatsSnapshot& s, WallClock::time_point now) const {
    s.Departed = roster_.Departed(now);
    s.NotFound = notFound_.Top(now, SHOWN_NOT_FOUND_CODES);
    s.History = history_.View(now);
}

}  // namespace zel
