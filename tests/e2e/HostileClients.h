// Clients that misuse a port, as the hostile-client tests and the gateway
// benchmark run them: each opens with some bytes and then sends more, again
// and again, from one thread for all of them, until the server closes it or
// the object goes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Terminal.h"

namespace zel::e2e {

struct HostileKind {
    const char* Name;
    int Count;                           // connections
    std::string Opening;                 // sent once, on connecting
    std::string Pumped;                  // then sent again and again; empty: nothing more
    std::chrono::milliseconds Every{0};  // between two sends; 0: as fast as taken
};

// The kinds of client an HTTP port of ours must withstand, asking for path
// (a slow head, bodies of every framing, methods it does not take, a head
// past its limit, idle holders), each with the count that once locked or
// swelled the gateway's monitor.
std::vector<HostileKind> HttpHostileKinds(const std::string& path);

class HostileClients {
public:
    // Connects `kind.Count` clients to 127.0.0.1:port.
    HostileClients(std::uint16_t port, const HostileKind& kind);
    ~HostileClients();
    HostileClients(const HostileClients&) = delete;
    HostileClients& operator=(const HostileClients&) = delete;

    // The sending stops; the connections stay open.
    void StopSending();

    Terminal& First() { return *all_.front(); }
    Terminal& Last() { return *all_.back(); }

private:
    void Pump();

    std::vector<std::unique_ptr<Terminal>> all_;
    std::string pumped_;
    std::chrono::milliseconds every_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zel::e2e
