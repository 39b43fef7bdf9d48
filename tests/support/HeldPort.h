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

}  // namespace zel::test
