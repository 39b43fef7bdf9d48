// SessionTable: every terminal's TerminalSession, and the one rule between
// them, the pause mode.
//
// With PAUSA_POR_TERMINAL 0 a terminal's lookup and pause hold the whole
// gateway, as a handler that blocks its thread would: while one stands, no
// other terminal is read, answered or greeted, and new terminals wait in the
// listener's queue. When the hold ends, the terminals whose bytes waited
// (ReadHeld) are offered a read, the one whose last read is oldest first:
// one terminal that scans again at once cannot keep the others out. A hold
// and its end cost the same however many terminals are connected. With 1
// each terminal waits only for itself.
//
// Pure: events in, actions out, each aimed at one session (or, for
// SetAccepting, at the listener). Sessions are named by the ids Open gives.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/TerminalSession.h"

namespace zel {

using SessionId = std::uint64_t;

struct TargetedAction {
    SessionId Target = 0;  // 0 for the listener
    SessionAction Action;
};
using TableActions = std::vector<TargetedAction>;

// A scan its lookup's answer ended: the terminal's "address:port", the code
// and how it ended (None: the answer was dropped, its terminal gone).
struct ScanEnd {
    ScanOutcome Outcome = ScanOutcome::None;
    std::string Peer;
    std::string Code;
};

class SessionTable {
public:
    using Time = SessionClock::time_point;

    SessionTable(const ScanContext& context, bool holdAll);

    SessionId Open(std::string peer, Time now, TableActions& out);
    void Received(SessionId id, std::string_view bytes, Time now, TableActions& out);
    ScanEnd LookupFinished(SessionId id, const LookupAnswer& answer, Time now, TableActions& out);
    void PauseElapsed(SessionId id, Time now, TableActions& out);
    void Close(SessionId id, Time now, TableActions& out);
    // Bytes of id wait in its socket while reading is held.
    void ReadHeld(SessionId id);

    // For a status page: the terminals, with those that left and whose
    // lookup or pause still runs out.
    const std::map<SessionId, TerminalSession>& Sessions() const { return sessions_; }
    // The terminal whose lookup or pause holds the gateway (mode 0 only).
    std::optional<SessionId> Holder() const { return holder_; }

private:
    struct Deferred {
        SessionId Id;
        bool Greeting;  // else a read of Bytes
        std::string Bytes;
    };

    void Take(SessionId id, SessionActions actions, TableActions& out);
    // After session id's event: start or end the hold, forget a finished session.
    void Settle(SessionId id, Time now, TableActions& out);
    // The hold of id ends: reading goes on, what came meanwhile is handled,
    // and unless that starts a new hold, id and each terminal whose bytes
    // waited are offered a read.
    void Release(SessionId id, Time now, TableActions& out);
    void Replay(Time now, TableActions& out);
    void OfferReads(SessionId released, TableActions& out);
    // A read of id is handled: it goes to the back of the turns.
    void Served(SessionId id) { lastRead_[id] = ++turn_; }

    const ScanContext& context_;
    const bool holdAll_;
    SessionId nextId_ = 1;
    std::map<SessionId, TerminalSession> sessions_;
    std::optional<SessionId> holder_;
    std::deque<Deferred> deferred_;                // events that came in during a hold
    std::set<SessionId> waiting_;                  // bytes wait while reading is held
    std::map<SessionId, std::uint64_t> lastRead_;  // turn of each one's last read
    std::uint64_t turn_ = 0;
    void Forget(std::map<SessionId, TerminalSession>::iterator session);
};

}  // namespace zel
