// TcpConnect: a TCP connection to host:port made within a time limit, and the
// file descriptor that owns it. The terminal simulator's way to the gateway.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zel {

// Owns one file descriptor and closes it.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int Get() const { return fd_; }
    int Release();

private:
    int fd_ = -1;
};

struct TcpConnectResult {
    UniqueFd Socket;      // connected and blocking; empty on failure
    int Error = 0;        // errno of the last failure; ETIMEDOUT when time ran out
    int LookupError = 0;  // getaddrinfo's code when the host did not resolve
};

// Resolves host (IPv4 and IPv6) and tries each address in turn, each within
// timeout.
TcpConnectResult ConnectTcp(const std::string& host, std::uint16_t port,
                            std::chrono::milliseconds timeout);

}  // namespace zel
