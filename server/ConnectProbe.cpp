#include "server/ConnectProbe.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zel {

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* p) const { freeaddrinfo(p); }
};

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

std::string LowerFirst(std::string text) {
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

// 0 when connected, else the errno of the failure; ETIMEDOUT when the time ran out.
int TryOne(const addrinfo& ai, std::chrono::milliseconds timeout) {
    Fd fd(::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol));
    if (fd.get() < 0) {
        return errno;
    }
    if (::connect(fd.get(), ai.ai_addr, ai.ai_addrlen) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS) {
        return errno;
    }
    pollfd p{fd.get(), POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready == 0) {
        return ETIMEDOUT;
    }
    if (ready < 0) {
        return errno;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
        return errno;
    }
    return error;
}

}  // namespace

std::string ProbeConnect(const ServerAddress& address, std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const std::string port = std::to_string(address.Port);
    const int rc = ::getaddrinfo(address.Host.c_str(), port.c_str(), &hints, &raw);
    if (rc != 0) {
        return "host '" + address.Host + "' not found: " + LowerFirst(gai_strerror(rc));
    }
    const std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    int last = 0;
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        last = TryOne(*ai, timeout);
        if (last == 0) {
            return "connects now";
        }
    }
    if (last == ETIMEDOUT) {
        return "no connection within " + std::to_string(timeout.count()) + " ms";
    }
    return LowerFirst(std::strerror(last));
}

}  // namespace zel
