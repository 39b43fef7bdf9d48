// MonitorConnections: the monitor's connections and the rules that keep
// them bounded whatever a client does, so that no client can lock the
// technician or the scraper out:
//   - at most kLimit are open. A new one beyond makes room: a connection
//     that is closing goes first, else the one that has waited the longest
//     for a request of its own (since it was accepted or last answered);
//   - every phase has its time: the head of a request within kHeadTime (of
//     the accept, or of the request's first byte on a kept-alive
//     connection), an answer taken within kAnswerTime, a kept-alive
//     connection idle for at most kIdleTime, a closing one drained within
//     kLingerTime;
//   - being full is an episode: one journal line when it begins
//     (EpisodeNotice), none while it lasts.
//
// Pure: the owner gives the time, closes what it is told to, and sets its
// one timer to NextDeadline().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/EpisodeNotice.h"

namespace zel {

class MonitorConnections {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;
    using Id = std::uint64_t;

    static constexpr std::size_t kLimit = 32;
    static constexpr std::chrono::seconds kHeadTime{10};
    static constexpr std::chrono::seconds kAnswerTime{10};
    static constexpr std::chrono::seconds kIdleTime{15};
    static constexpr std::chrono::seconds kLingerTime{1};

    enum class Phase {
        Head,     // a request's head is awaited or under way
        Answer,   // an answer is being written
        Idle,     // kept alive, between requests
        Closing,  // the last answer is out; the peer's end is awaited
    };

    struct Opened {
        Id Connection = 0;
        std::optional<Id> Evicted;        // to close now: it made room
        std::optional<std::string> Line;  // for the journal
    };

    // A connection accepted now, in phase Head.
    Opened Open(Time now);
    // The connection enters `phase` now; an unknown id is ignored.
    void Enter(Id id, Phase phase, Time now);
    // Its answer has gone whole: it waits for a request of its own again.
    void Answered(Id id, Time now);
    // The connection is gone (closed by either side).
    void Remove(Id id);

    std::optional<Phase> PhaseOf(Id id) const;
    // The connections whose phase has outlasted its time, with that phase
    // (a late head is answered 408; the others are closed). They stay
    // listed until the owner moves or removes them.
    std::vector<std::pair<Id, Phase>> Expired(Time now) const;
    std::optional<Time> NextDeadline() const;
    // The one that gives way for a newcomer; none when none is open.
    std::optional<Id> Idlest() const;
    std::size_t Size() const { return open_.size(); }

private:
    struct Entry {
        Phase Now = Phase::Head;
        Time Deadline;
        Time WaitingSince;  // accepted, or last answered
    };

    std::map<Id, Entry> open_;
    Id next_ = 1;
    EpisodeNotice full_;
};

}  // namespace zel
