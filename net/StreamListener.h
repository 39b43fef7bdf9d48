// StreamListener: a TCP listener on the loop for a service of the gateway
// beside the terminals' port (the monitor). It listens on one address of a
// host (IPv4 or IPv6; a name as the system resolves it, its first address)
// with SO_REUSEADDR and never SO_REUSEPORT, so that a second process on the
// same port is refused rather than handed every other connection. Each
// connection accepted goes to `Accepted` as a non-blocking handle the callee
// then owns. Out of file handles it first asks `MakeRoom` to close one of
// the service's own connections for the new one; when there is none to
// close it backs off (AcceptBackoff), refusing those waiting with
// `Farewell`.
//
// Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "net/AcceptBackoff.h"
#include "net/Readiness.h"

namespace zel {

class StreamListener {
public:
    // Connections accepted per readiness; more wait for the next pass.
    static constexpr int ACCEPTS_PER_PASS = 16;
    static constexpr int BACKLOG = 128;

    struct Service {
        std::string Name;  // for the journal: "Monitor port"
        std::function<void(int handle)> Accepted;
        std::function<bool()> MakeRoom;     // closed one of its own connections
        std::function<std::size_t()> Open;  // its connections open now
        std::string Farewell;               // sent to a connection refused
        AcceptBackoff::Journal Journal;
    };

    // Throws std::runtime_error saying why it cannot listen there.
    StreamListener(const std::string& host, std::uint16_t port, Service service);
    ~StreamListener();
    StreamListener(const StreamListener&) = delete;
    StreamListener& operator=(const StreamListener&) = delete;

    std::uint16_t Port() const { return port_; }
    // One of the service's connections was closed.
    void Released() { backoff_.Released(); }

private:
    void AcceptReady();

    Service service_;
    int handle_ = -1;
    std::uint16_t port_ = 0;
    ReadinessWatch watch_;
    AcceptBackoff backoff_;
};

}  // namespace zel
