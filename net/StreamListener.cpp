#include "net/StreamListener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zel {
namespace {

// The first address the system gives for `host`, a number as it is.
addrinfo* Resolve(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int failed = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (failed != 0 || found == nullptr) {
        throw std::runtime_error("no address for host \"" + host + "\" (" + ::gai_strerror(failed) +
                                 ")");
    }
    return found;
}

std::uint16_t BoundPort(int handle) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return 0;
    }
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(bound).sin_port);
}

}  // namespace

StreamListener::StreamListener(const std::string& host, std::uint16_t port, Service service)
    : service_(std::move(service)),
      backoff_(service_.Farewell, [this] { watch_.SetEnabled(true); }) {
    backoff_.SetJournal(service_.Journal);
    addrinfo* address = Resolve(host, port);
    handle_ = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       address->ai_protocol);
    const int on = 1;
    const bool listening = handle_ >= 0 &&
                           ::setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                           ::bind(handle_, address->ai_addr, address->ai_addrlen) == 0 &&
                           ::listen(handle_, BACKLOG) == 0;
    const int code = errno;
    ::freeaddrinfo(address);
    if (!listening) {
        if (handle_ >= 0) {
            ::close(handle_);
        }
        throw std::runtime_error(std::string("cannot listen there (") + std::strerror(code) + ")");
    }
    port_ = BoundPort(handle_);
    watch_ = ReadinessWatch(handle_, ReadinessWatch::Kind::Read, [this](int) { AcceptReady(); });
}

StreamListener::~StreamListener() {
    watch_.Reset();
    ::close(handle_);
}

void StreamListener::AcceptReady() {
    for (int i = 0; i < ACCEPTS_PER_PASS; ++i) {
        const int handle = ::accept4(handle_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle >= 0) {
            backoff_.Accepted();
            service_.Accepted(handle);
            continue;
        }
        const int code = errno;
        switch (backoff_.Failed(handle_, code, service_.Name + " " + std::to_string(port_),
                                service_.Open ? service_.Open() : 0, service_.MakeRoom)) {
            case AcceptBackoff::Outcome::RoomMade:
                continue;  // a handle of its own was let go for this one
            case AcceptBackoff::Outcome::Pausing:
                watch_.SetEnabled(false);
                return;
            case AcceptBackoff::Outcome::Other:
                return;  // nothing waits (EAGAIN), or the client went before it was taken
        }
    }
}

}  // namespace zel
