#include "rv7300_sim/TcpConnect.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

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

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// Connects a non-blocking socket to one address within the limit; 0 or an errno.
int ConnectOne(int fd, const addrinfo& address, std::chrono::milliseconds timeout) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS) {
        return errno;
    }
    pollfd waiting{fd, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&waiting, 1, static_cast<int>(timeout.count()));
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
    return error;
}

}  // namespace

TcpConnectResult ConnectTcp(const std::string& host, std::uint16_t port,
                            std::chrono::milliseconds timeout) {
    TcpConnectResult result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    result.LookupError = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (result.LookupError != 0) {
        result.Error = result.LookupError == EAI_SYSTEM ? errno : 0;
        return result;
    }
    const std::unique_ptr<addrinfo, AddrInfoFree> list(found);
    result.Error = EADDRNOTAVAIL;
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        UniqueFd fd(
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (fd.Get() < 0) {
            result.Error = errno;
            continue;
        }
        result.Error = ConnectOne(fd.Get(), *a, timeout);
        if (result.Error == 0) {
            const int flags = ::fcntl(fd.Get(), F_GETFL);
            if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                result.Error = errno;
                continue;
            }
            result.Socket = std::move(fd);
            return result;
        }
    }
    return result;
}

}  // namespace zel
