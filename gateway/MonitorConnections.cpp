#include "gateway/MonitorConnections.h"

#include <algorithm>

namespace zel {
namespace {

using Phase = MonitorConnections::Phase;

MonitorConnections::Clock::duration TimeOf(Phase phase) {
    switch (phase) {
        case Phase::Head:
            return MonitorConnections::kHeadTime;
        case Phase::Answer:
            return MonitorConnections::kAnswerTime;
        case Phase::Idle:
            return MonitorConnections::kIdleTime;
        case Phase::Closing:
            break;
    }
    return MonitorConnections::kLingerTime;
}

}  // namespace

MonitorConnections::Opened MonitorConnections::Open(Time now) {
    Opened opened;
    if (open_.size() >= kLimit) {
        opened.Evicted = Idlest();
        open_.erase(*opened.Evicted);
        opened.Line = full_.Begin("Monitor: " + std::to_string(kLimit) +
                                      " connections open; for each new one, the one idle the "
                                      "longest is closed",
                                  now);
    }
    opened.Connection = next_++;
    open_[opened.Connection] = Entry{Phase::Head, now + kHeadTime, now};
    return opened;
}

void MonitorConnections::Enter(Id id, Phase phase, Time now) {
    const auto found = open_.find(id);
    if (found == open_.end()) {
        return;
    }
    found->second.Now = phase;
    found->second.Deadline = now + TimeOf(phase);
}

void MonitorConnections::Answered(Id id, Time now) {
    if (const auto found = open_.find(id); found != open_.end()) {
        found->second.WaitingSince = now;
    }
}

void MonitorConnections::Remove(Id id) {
    if (open_.erase(id) > 0 && open_.size() < kLimit) {
        full_.End();
    }
}

std::optional<Phase> MonitorConnections::PhaseOf(Id id) const {
    const auto found = open_.find(id);
    return found == open_.end() ? std::nullopt : std::optional(found->second.Now);
}

std::vector<std::pair<MonitorConnections::Id, Phase>> MonitorConnections::Expired(Time now) const {
    std::vector<std::pair<Id, Phase>> expired;
    for (const auto& [id, entry] : open_) {
        if (entry.Deadline <= now) {
            expired.emplace_back(id, entry.Now);
        }
    }
    return expired;
}

std::optional<MonitorConnections::Time> MonitorConnections::NextDeadline() const {
    std::optional<Time> next;
    for (const auto& [id, entry] : open_) {
        next = next ? std::min(*next, entry.Deadline) : entry.Deadline;
    }
    return next;
}

std::optional<MonitorConnections::Id> MonitorConnections::Idlest() const {
    // Ids grow with time: among equals the oldest comes first.
    const auto rank = [](const Entry& entry) {
        return std::pair(entry.Now != Phase::Closing, entry.WaitingSince);
    };
    const auto idlest = std::min_element(
        open_.begin(), open_.end(),
        [&](const auto& a, const auto& b) { return rank(a.second) < rank(b.second); });
    return idlest == open_.end() ? std::nullopt : std::optional(idlest->first);
}

}  // namespace zel
