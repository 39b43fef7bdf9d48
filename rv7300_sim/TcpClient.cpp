// TCP client connection on POSIX sockets.
#include "rv7300_sim/TcpClient.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zel {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.Release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int UniqueFd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

bool SetNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    return ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

// Connects one socket to one address within the time limit; 0 or an errno.
int ConnectOne(int fd, const addrinfo& address, int timeoutMs) {
    if (!SetNonBlocking(fd, true)) {
        return errno;
    }
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            return errno;
        }
        pollfd waiting{fd, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&waiting, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            return errno;
        }
        if (ready == 0) {
            return ETIMEDOUT;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return errno;
        }
        if (error != 0) {
            return error;
        }
    }
    return SetNonBlocking(fd, false) ? 0 : errno;
}

}  // namespace

TcpClient TcpClient::Connect(const Endpoint& endpoint, int timeoutMs) {
    const std::string peer = endpoint.ToString();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    const int status = ::getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        throw ConnectionError(
            "cannot connect to " + peer + ": " +
            (status == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(status)));
    }
    const std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
    int lastError = EADDRNOTAVAIL;
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (fd.Get() < 0) {
            lastError = errno;
            continue;
        }
        lastError = ConnectOne(fd.Get(), *a, timeoutMs);
        if (lastError == 0) {
            return TcpClient(std::move(fd), peer);
        }
    }
    throw ConnectionError("cannot connect to " + peer + ": " + std::strerror(lastError));
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
