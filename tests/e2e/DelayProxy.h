// A TCP proxy on 127.0.0.1 that holds every chunk of bytes for a set time
// in each direction, as a network that far away would: between the gateway
// and srv_zel it turns loopback into a server `2 × oneWay` away. For the
// tests and the benchmark only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zel::e2e {

class DelayProxy {
public:
    using Clock = std::chrono::steady_clock;

    // Listens on a port the system picks and forwards to 127.0.0.1:targetPort.
    // With `idleClose`, a connection idle that long (nothing on its way
    // either side) is closed on both sides, as a server's idle limit does.
    DelayProxy(std::uint16_t targetPort, std::chrono::milliseconds oneWay,
               std::chrono::milliseconds idleClose = std::chrono::milliseconds(0));
    ~DelayProxy();
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // "127.0.0.1:PORT", as Conf.ini names it.
    std::string Address() const;

    // When chunks arrived from the client side (requests) and were handed
    // to the client side (answers), in order.
    std::vector<Clock::time_point> RequestTimes() const;
    std::vector<Clock::time_point> AnswerTimes() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zel::e2e
