// BarePollServer: the benchmarks' floor of a socket server. A bare poll()
// loop on a thread of its own, on 127.0.0.1 at a port the system picks: it
// sends `greeting` to each connection it accepts and answers each read at
// once with what `reply` makes of the bytes read. No framework, no framing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace zel::bench {

class BarePollServer {
public:
    using Reply = std::function<std::string(std::string_view received)>;

    BarePollServer(std::string greeting, Reply reply);
    ~BarePollServer();
    BarePollServer(const BarePollServer&) = delete;
    BarePollServer& operator=(const BarePollServer&) = delete;

    std::uint16_t Port() const { return port_; }

private:
    void Run();

    std::string greeting_;
    Reply reply_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace zel::bench
