#include "gateway/TerminalRoster.h"

#include <algorithm>

namespace zel {
namespace {

bool Expired(const RosterEntry& e, WallClock::time_point now) {
    return e.Open == 0 && now - e.LeftAt > REMEMBERED_FOR;
}

}  // namespace

TerminalRoster::TerminalRoster(std::size_t capacity) : capacity_(capacity) {}

bool TerminalRoster::Connected(std::string_view address, WallClock::time_point now,
                               std::vector<std::string>& forgotten) {
    auto found = entries_.find(address);
    if (found == entries_.end()) {
        if (entries_.size() >= capacity_) {
            auto oldest = entries_.end();
            for (auto e = entries_.begin(); e != entries_.end(); ++e) {
                if (e->second.Open == 0 &&
                    (oldest == entries_.end() || e->second.LeftAt < oldest->second.LeftAt)) {
                    oldest = e;
                }
            }
            if (oldest == entries_.end()) {
                return false;
            }
            forgotten.push_back(oldest->first);
            entries_.erase(oldest);
        }
        found = entries_.emplace(std::string(address), RosterEntry{}).first;
        found->second.Address = found->first;
    }
    RosterEntry& e = found->second;
    if (e.Open++ == 0) {
        e.OpenedAt = now;
    }
    e.LastSeen = now;
    return true;
}

void TerminalRoster::Seen(std::string_view address, WallClock::time_point now) {
    if (const auto found = entries_.find(address); found != entries_.end()) {
        found->second.LastSeen = now;
        found->second.Terminal = true;
    }
}

bool TerminalRoster::Left(std::string_view address, Departure how, WallClock::time_point now) {
    const auto found = entries_.find(address);
    if (found == entries_.end() || found->second.Open == 0) {
        return false;  // not remembered when it came
    }
    RosterEntry& e = found->second;
    e.LastSeen = now;
    if (--e.Open > 0) {
        return false;
    }
    e.Terminal = e.Terminal || now - e.OpenedAt >= PORT_CHECK_SPAN;
    if (!e.Terminal) {
        entries_.erase(found);
        return true;
    }
    e.LeftAt = now;
    e.How = how;
    return false;
}

std::vector<std::string> TerminalRoster::Expire(WallClock::time_point now) {
    std::vector<std::string> gone;
    std::erase_if(entries_, [&](const auto& e) {
        if (!Expired(e.second, now)) {
            return false;
        }
        gone.push_back(e.first);
        return true;
    });
    return gone;
}

std::vector<RosterEntry> TerminalRoster::Departed(WallClock::time_point now) const {
    std::vector<RosterEntry> departed;
    for (const auto& [address, e] : entries_) {
        if (e.Open == 0 && !Expired(e, now)) {
            departed.push_back(e);
        }
    }
    std::sort(departed.begin(), departed.end(),
              [](const RosterEntry& a, const RosterEntry& b) { return a.LeftAt > b.LeftAt; });
    return departed;
}

const RosterEntry* TerminalRoster::Find(std::string_view address) const {
    const auto found = entries_.find(address);
    return found == entries_.end() ? nullptr : &found->second;
}

}  // namespace zel
