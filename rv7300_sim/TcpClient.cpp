// TCP client connection on POSIX sockets.
#include "rv7300_sim/TcpClient.h"

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <sys/socket.h>

namespace zel {

TcpClient TcpClient::Connect(const ServerAddress& endpoint, int timeoutMs) {
    const std::string peer = endpoint.ToString();
    TcpConnectResult result =
        ConnectTcp(endpoint.Host, endpoint.Port, std::chrono::milliseconds(timeoutMs));
    if (result.LookupError != 0) {
        throw ConnectionError("cannot connect to " + peer + ": " +
                              (result.LookupError == EAI_SYSTEM
                                   ? std::strerror(result.Error)
                                   : ::gai_strerror(result.LookupError)));
    }
    if (result.Error != 0) {
        throw ConnectionError("cannot connect to " + peer + ": " + std::strerror(result.Error));
    }
    return TcpClient(std::move(result.Socket), peer);
}

void TcpClient::SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw ConnectionError("cannot send to " + peer_ + ": " + std::strerror(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

std::string TcpClient::Receive() {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
        if (got >= 0) {
            return std::string(buffer, static_cast<std::size_t>(got));
        }
        if (errno != EINTR) {
            throw ConnectionError("cannot receive from " + peer_ + ": " + std::strerror(errno));
        }
    }
}

}  // namespace zel
