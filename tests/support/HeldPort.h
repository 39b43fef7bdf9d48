// A loopback port the system chose, held bound for as long as the object
// lives, so no other test can take it meanwhile. Not listening, a connect to
// it is refused; listening, it queues up to `backlog` connections.
#pragma once

#include <cstdint>
#include <string>

namespace zel::test {

class HeldPort {
public:
    explicit HeldPort(bool listening, int backlog = 1);
    ~HeldPort();
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    int Fd() const { return fd_; }
    std::uint16_t Port() const { return port_; }
    std::string Address() const;  // "127.0.0.1:PORT"

private:
    int fd_;
    std::uint16_t port_ = 0;
};

// A loopback port whose listen queue is full: the system drops further
// connection requests, so a connect to it hangs until its time limit.
class HangingPort {
public:
    HangingPort();
    ~HangingPort();
    HangingPort(const HangingPort&) = delete;
    HangingPort& operator=(const HangingPort&) = delete;

    std::uint16_t Port() const { return held_.Port(); }

private:
    const HeldPort held_{true, 0};
    int fillers_[3] = {-1, -1, -1};
};

}  // namespace zel::test
