// ServerHealth: whether the application server answers, as the gateway last
// learned it from a lookup or a check, and AddressHealth, which keeps it per
// address: an address that could not be reached is asked last until it
// answers again. Pure: the caller says what happened and when.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zel {

using WallClock = std::chrono::system_clock;

struct ServerHealth {
    enum State { Unknown, Up, Down };
    State Now = Unknown;
    WallClock::time_point Since{};  // of the state; the start while Unknown
    std::string LastError;          // the words of the last failure to reach it
};

class AddressHealth {
public:
    AddressHealth(std::size_t addresses, WallClock::time_point start);

    // The addresses in the order to ask them: those that answer (or are not
    // known yet) in their own order, then those that did not.
    std::vector<std::size_t> Order() const;

    // An answer came from `address` (any answer, an error status included).
    // Returns true when the server's state changed.
    bool Answered(std::size_t address, WallClock::time_point now);
    // `address` could not be reached (refused, closed unanswered, no answer
    // in time). Returns true when the server's state changed.
    bool Unreachable(std::size_t address, std::string words, WallClock::time_point now);

    const ServerHealth& Health() const { return health_; }

private:
    bool Update(WallClock::time_point now);

    std::vector<ServerHealth::State> addresses_;
    ServerHealth health_;
};

}  // namespace zel
