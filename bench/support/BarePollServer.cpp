#include "BarePollServer.h"

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
#include <vector>

namespace zel::bench {

namespace {

void Send(int fd, std::string_view bytes) {
    (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

}  // namespace

BarePollServer::BarePollServer(std::string greeting, Reply reply)
    : greeting_(std::move(greeting)), reply_(std::move(reply)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        const int code = errno;
        if (listener_ >= 0) {
            ::close(listener_);
        }
        throw std::runtime_error(std::string("bare poll() server: ") + std::strerror(code));
    }
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { Run(); });
}

BarePollServer::~BarePollServer() {
    ::close(stop_[1]);
    thread_.join();
    ::close(stop_[0]);
    ::close(listener_);
}

void BarePollServer::Run() {
    std::vector<pollfd> fds{{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    char buffer[4096];
    while (::poll(fds.data(), fds.size(), -1) >= 0 && fds[0].revents == 0) {
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                const int on = 1;
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                if (!greeting_.empty()) {
                    Send(client, greeting_);
                }
                fds.push_back({client, POLLIN, 0});
            }
        }
        for (std::size_t i = 2; i < fds.size();) {
            if (fds[i].revents == 0) {
                ++i;
                continue;
            }
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i] = fds.back();
                fds.pop_back();
                continue;
            }
            Send(fds[i].fd, reply_(std::string_view(buffer, static_cast<std::size_t>(n))));
            ++i;
        }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
        ::close(fds[i].fd);
    }
}

}  // namespace zel::bench
