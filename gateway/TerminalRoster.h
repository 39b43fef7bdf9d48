// TerminalRoster: the terminals the gateway has seen, by address, so that one
// that went away is still known: when it left and how, for a day. A terminal
// that comes back from the same address is the same entry again; several
// connections from one address are one terminal, gone when the last closes.
// At most `capacity` addresses are remembered: to make room, the one that
// left the longest ago is forgotten; while every one remembered is
// connected, a new address is not remembered. A port check (a connection
// that sends nothing and closes within PORT_CHECK_SPAN, from an address that
// has never done more) is no terminal: it is forgotten as it leaves, so a
// monitoring probe never shows as a terminal gone. Pure: times come from the
// caller.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerHealth.h"

namespace zel {

inline constexpr std::size_t REMEMBERED_TERMINALS = 1000;
inline constexpr std::chrono::hours REMEMBERED_FOR{24};
inline constexpr std::chrono::seconds PORT_CHECK_SPAN{2};

// How a terminal's last connection ended.
enum class Departure { Closed, Reset, Error };
inline constexpr std::array<std::string_view, 3> kDepartureNames{"closed", "reset", "error"};

struct RosterEntry {
    std::string Address;
    std::size_t Open = 0;            // its connections open now
    WallClock::time_point LastSeen;  // its last connection, read or leaving
    WallClock::time_point LeftAt;    // when Open fell to 0
    Departure How = Departure::Closed;
    WallClock::time_point OpenedAt;  // when Open rose from 0
    bool Terminal = false;           // it sent, or stayed PORT_CHECK_SPAN: no port check
};

class TerminalRoster {
public:
    explicit TerminalRoster(std::size_t capacity = REMEMBERED_TERMINALS);

    // A connection from `address` opened. Returns whether the address is
    // remembered; the address forgotten to make room, if one was, is added
    // to `forgotten`.
    bool Connected(std::string_view address, WallClock::time_point now,
                   std::vector<std::string>& forgotten);
    // The terminal sent something.
    void Seen(std::string_view address, WallClock::time_point now);
    // Returns whether the address was forgotten: a port check.
    bool Left(std::string_view address, Departure how, WallClock::time_point now);
    // Forgets the terminals gone for longer than REMEMBERED_FOR; their addresses.
    std::vector<std::string> Expire(WallClock::time_point now);

    // The terminals gone now and not for longer than REMEMBERED_FOR, the
    // latest to leave first.
    std::vector<RosterEntry> Departed(WallClock::time_point now) const;
    // The entry of `address`, or null.
    const RosterEntry* Find(std::string_view address) const;
    std::size_t Size() const { return entries_.size(); }

private:
    std::size_t capacity_;
    std::map<std::string, RosterEntry, std::less<>> entries_;
};

}  // namespace zel
