#include "Terminal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "Bytes.h"
#include "gateway/Constants.h"

namespace zel::e2e {

namespace {

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::string Failure(std::string_view what, std::uint16_t port, int error) {
    return std::string(what) + " 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(error);
}

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

double MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

Terminal::Terminal(std::uint16_t port, int tipo, std::chrono::milliseconds limit,
                   const std::string& from)
    : tipo_(tipo), port_(port) {
    const auto deadline = Clock::now() + limit;
    handle_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle_ < 0) {
        throw std::runtime_error(Failure("socket for", port, errno));
    }
    const int one = 1;
    ::setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!from.empty()) {
        sockaddr_in own = Loopback(0);
        const bool valid = inet_pton(AF_INET, from.c_str(), &own.sin_addr) == 1;
        if (!valid || ::bind(handle_, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
            const int error = valid ? errno : EINVAL;
            ::close(handle_);
            throw std::runtime_error("bind to " + from + ": " + std::strerror(error));
        }
    }
    // Non-blocking connect, so a full listen queue cannot hold the test past
    // its limit; blocking again afterwards.
    const int flags = ::fcntl(handle_, F_GETFL);
    ::fcntl(handle_, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in address = Loopback(port);
    if (::connect(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            const int error = errno;
            ::close(handle_);
            throw std::runtime_error(Failure("connect to", port, error));
        }
        pollfd p{handle_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, RemainingMs(deadline));
        int error = ETIMEDOUT;
        if (ready == 1) {
            socklen_t length = sizeof error;
            ::getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length);
        }
        if (error != 0) {
            ::close(handle_);
            throw std::runtime_error(Failure("connect to", port, error));
        }
    }
    ::fcntl(handle_, F_SETFL, flags);
}

Terminal::~Terminal() {
    if (handle_ >= 0) {
        ::close(handle_);
    }
}

void Terminal::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(handle_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(Failure("send to", port_, errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

Clock::time_point Terminal::Scan(std::string_view digits) {
    const std::string request = ScanRequest(digits);
    const auto at = Clock::now();
    Send(request);
    return at;
}

bool Terminal::Receive(Clock::time_point deadline) {
    if (closed_) {
        return false;
    }
    pollfd p{handle_, POLLIN, 0};
    const int ready = ::poll(&p, 1, RemainingMs(deadline));
    if (ready <= 0) {
        return false;
    }
    char buffer[65536];
    const ssize_t n = ::recv(handle_, buffer, sizeof buffer, 0);
    const auto now = Clock::now();
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    lastArrival_ = now;
#ifdef TCP_QUICKACK
    // Acknowledge at once, as a busy terminal would: a delayed ACK would hold
    // the gateway's next small frame behind its sender's coalescing (Nagle)
    // for up to 40 ms and blur the timing the tests measure.
    const int one = 1;
    ::setsockopt(handle_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
    return true;
}

std::optional<std::size_t> Terminal::CompleteFrameLength() const {
    if (pending_.empty()) {
        return std::nullopt;
    }
    if (pending_[0] != STX) {
        throw std::runtime_error("from 127.0.0.1:" + std::to_string(port_) +
                                 ": bytes that do not start a frame: " + Hex(pending_));
    }
    const std::size_t etx = pending_.find(ETX, 1);
    if (etx == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t length = etx + (tipo_ == 0 ? 3 : 2);  // [BCC] EOT
    if (pending_.size() < length) {
        return std::nullopt;
    }
    return length;
}

std::optional<Frame> Terminal::NextFrame(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (const auto length = CompleteFrameLength()) {
            Frame frame{pending_.substr(0, *length), lastArrival_};
            pending_.erase(0, *length);
            return frame;
        }
        if (!Receive(deadline)) {
            return std::nullopt;
        }
    }
}

Frame Terminal::ExpectFrame(std::chrono::milliseconds limit) {
    if (auto frame = NextFrame(limit)) {
        return std::move(*frame);
    }
    throw std::runtime_error("no frame from 127.0.0.1:" + std::to_string(port_) + " within " +
                             std::to_string(limit.count()) + " ms" +
                             (closed_ ? " (connection closed)" : "") +
                             (pending_.empty() ? "" : "; partial: " + Hex(pending_)));
}

std::string Terminal::ReadFor(std::chrono::milliseconds span) {
    const auto deadline = Clock::now() + span;
    while (Clock::now() < deadline && !closed_) {
        Receive(deadline);
    }
    std::string out;
    out.swap(pending_);
    return out;
}

std::optional<std::string> Terminal::ReadUntilClosed(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!closed_ && Clock::now() < deadline) {
        Receive(deadline);
    }
    if (!closed_) {
        return std::nullopt;
    }
    std::string out;
    out.swap(pending_);
    return out;
}

void Terminal::Close() {
    if (handle_ >= 0) {
        ::close(handle_);
        handle_ = -1;
    }
}

void Terminal::Reset() {
    if (handle_ >= 0) {
        const linger abortive{1, 0};
        ::setsockopt(handle_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        Close();
    }
}

bool SomethingListens(std::uint16_t port) {
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        return false;
    }
    const sockaddr_in address = Loopback(port);
    const bool connected =
        ::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(handle);
    return connected;
}

PortHolder::PortHolder(std::uint16_t port, bool listening) {
    handle_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);  // where the gateway listens
    socklen_t length = sizeof address;
    if (handle_ < 0 ||
        ::bind(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(handle_, 1) != 0) ||
        ::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        if (handle_ >= 0) {
            ::close(handle_);
        }
        throw std::runtime_error(Failure("cannot hold", port, error));
    }
    port_ = ntohs(address.sin_port);
}

PortHolder::~PortHolder() {
    ::close(handle_);
}

std::uint16_t Terminal::LocalPort() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

}  // namespace zel::e2e
