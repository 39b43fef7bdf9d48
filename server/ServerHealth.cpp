#include "server/ServerHealth.h"

#include <algorithm>

namespace zel {

AddressHealth::AddressHealth(std::size_t addresses, WallClock::time_point start)
    : addresses_(addresses, ServerHealth::Unknown) {
    health_.Since = start;
}

std::vector<std::size_t> AddressHealth::Order() const {
    std::vector<std::size_t> order;
    order.reserve(addresses_.size());
    for (std::size_t i = 0; i < addresses_.size(); ++i) {
        if (addresses_[i] != ServerHealth::Down) {
            order.push_back(i);
        }
    }
    for (std::size_t i = 0; i < addresses_.size(); ++i) {
        if (addresses_[i] == ServerHealth::Down) {
            order.push_back(i);
        }
    }
    return order;
}

bool AddressHealth::Answered(std::size_t address, WallClock::time_point now) {
    addresses_.at(address) = ServerHealth::Up;
    return Update(now);
}

bool AddressHealth::Unreachable(std::size_t address, std::string words, WallClock::time_point now) {
    addresses_.at(address) = ServerHealth::Down;
    health_.LastError = std::move(words);
    return Update(now);
}

bool AddressHealth::Update(WallClock::time_point now) {
    // The server answers while any of its addresses does.
    ServerHealth::State state = ServerHealth::Unknown;
    if (std::ranges::find(addresses_, ServerHealth::Up) != addresses_.end()) {
        state = ServerHealth::Up;
    } else if (std::ranges::find(addresses_, ServerHealth::Down) != addresses_.end()) {
        state = ServerHealth::Down;
    }
    if (state == health_.Now) {
        return false;
    }
    health_.Now = state;
    health_.Since = now;
    return true;
}

}  // namespace zel
