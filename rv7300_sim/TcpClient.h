// The simulator's TCP connection to a gateway, as a terminal makes it.
//
// Connect resolves the host with getaddrinfo (IPv4 and IPv6), tries each
// address in turn within the time limit, and throws ConnectionError with a
// message that names host:port and the system's reason.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "rv7300_sim/SimOptions.h"
#include "rv7300_sim/TcpConnect.h"

namespace zel {

class ConnectionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TcpClient {
public:
    static TcpClient Connect(const ServerAddress& endpoint, int timeoutMs);

    int Fd() const { return fd_.Get(); }

    // Writes every byte; throws ConnectionError when the connection fails.
    void SendAll(std::string_view bytes);

    // What is waiting on the connection (blocks until something is). Empty
    // when the gateway has closed it; throws ConnectionError on an error.
    std::string Receive();

private:
    TcpClient(UniqueFd fd, std::string peer) : fd_(std::move(fd)), peer_(std::move(peer)) {}

    UniqueFd fd_;
    std::string peer_;  // host:port, for messages
};

}  // namespace zel
