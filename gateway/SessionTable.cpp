#include "gateway/SessionTable.h"

#include <algorithm>
#include <utility>

namespace zel {

namespace {

// One action for one session. Built in place: GCC 12 takes a braced
// temporary of this variant for an uninitialised read.
void Aim(TableActions& out, SessionId target, SessionAction action) {
    TargetedAction& aimed = out.emplace_back();
    aimed.Target = target;
    aimed.Action = std::move(action);
}

}  // namespace

SessionTable::SessionTable(const ScanContext& context, bool holdAll)
    : context_(context), holdAll_(holdAll) {}

void SessionTable::Take(SessionId id, SessionActions actions, TableActions& out) {
    for (SessionAction& action : actions) {
        Aim(out, id, std::move(action));
    }
}

SessionId SessionTable::Open(std::string peer, Time now, TableActions& out) {
    const SessionId id = nextId_++;
    TerminalSession& session =
        sessions_.try_emplace(id, context_, std::move(peer), now).first->second;
    if (holder_) {
        // Accepted although the listener holds: greeted after the hold, as if
        // it had waited in the listener's queue; its reading is held already.
        deferred_.push_back({id, true, {}});
        return id;
    }
    Take(id, session.Connected(), out);
    return id;
}

void SessionTable::Received(SessionId id, std::string_view bytes, Time now, TableActions& out) {
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return;
    }
    if (holder_ && *holder_ != id) {
        deferred_.push_back({id, false, std::string(bytes)});
        return;
    }
    Served(id);
    Take(id, found->second.Received(bytes, now), out);
    Settle(id, now, out);
}

ScanEnd SessionTable::LookupFinished(SessionId id, const LookupAnswer& answer, Time now,
                                     TableActions& out) {
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return {};  // the terminal left during its lookup: the answer is dropped
    }
    const bool asked = found->second.State() == SessionState::LookingUp;
    Take(id, found->second.LookupFinished(answer, now), out);
    ScanEnd end;
    if (asked) {
        const SessionCounters& c = found->second.Counters();
        end = {c.LastOutcome, c.Peer, c.LastCode};
    }
    Settle(id, now, out);
    return end;
}

void SessionTable::PauseElapsed(SessionId id, Time now, TableActions& out) {
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return;
    }
    Take(id, found->second.PauseElapsed(now), out);
    Settle(id, now, out);
}

void SessionTable::Close(SessionId id, Time now, TableActions& out) {
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return;
    }
    std::erase_if(deferred_, [id](const Deferred& d) { return d.Id == id; });
    waiting_.erase(id);
    found->second.Closed();
    // In mode 0 a lookup or pause that stands goes on holding the gateway
    // for as long as it would have; in mode 1 nobody waits for it.
    if (holdAll_ && found->second.Busy()) {
        return;
    }
    Forget(found);
    if (holder_ == id) {
        Release(id, now, out);
    }
}

void SessionTable::ReadHeld(SessionId id) {
    if (holdAll_ && sessions_.contains(id)) {
        waiting_.insert(id);
    }
}

void SessionTable::Forget(std::map<SessionId, TerminalSession>::iterator session) {
    lastRead_.erase(session->first);
    waiting_.erase(session->first);
    sessions_.erase(session);
}

void SessionTable::Settle(SessionId id, Time now, TableActions& out) {
    const auto found = sessions_.find(id);
    const bool busy = found != sessions_.end() && found->second.Busy();
    if (holdAll_ && !holder_ && busy) {
        holder_ = id;
        Aim(out, 0, HoldReading{true});
        Aim(out, 0, SetAccepting{false});
        return;
    }
    if (found != sessions_.end() && found->second.Finished()) {
        Forget(found);
    }
    if (holder_ == id && !busy) {
        Release(id, now, out);
    }
}

void SessionTable::Release(SessionId id, Time now, TableActions& out) {
    holder_.reset();
    Aim(out, 0, HoldReading{false});
    Aim(out, 0, SetAccepting{true});
    Replay(now, out);
    if (!holder_) {
        OfferReads(id, out);
    }
}

void SessionTable::OfferReads(SessionId released, TableActions& out) {
    // The one whose hold ended may have sent meanwhile too: its own reading
    // was suspended, so its socket knows, not the table.
    waiting_.insert(released);
    std::vector<std::pair<std::uint64_t, SessionId>> turns;
    for (const SessionId id : std::exchange(waiting_, {})) {
        const auto found = sessions_.find(id);
        if (found != sessions_.end() && !found->second.IsClosed() && !found->second.Busy()) {
            const auto last = lastRead_.find(id);
            turns.emplace_back(last == lastRead_.end() ? 0 : last->second, id);
        }
    }
    std::sort(turns.begin(), turns.end());
    for (const auto& turn : turns) {
        Aim(out, turn.second, OfferRead{});
    }
}

void SessionTable::Replay(Time now, TableActions& out) {
    while (!holder_ && !deferred_.empty()) {
        Deferred next = std::move(deferred_.front());
        deferred_.pop_front();
        const auto found = sessions_.find(next.Id);
        if (found == sessions_.end()) {
            continue;
        }
        if (next.Greeting) {
            Take(next.Id, found->second.Connected(), out);
        } else {
            Served(next.Id);
            Take(next.Id, found->second.Received(next.Bytes, now), out);
            Settle(next.Id, now, out);
        }
    }
}

}  // namespace zel
