#include "HeldPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace zel::test {

HeldPort::HeldPort(bool listening, int backlog) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listening && ::listen(fd_, backlog) != 0) ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        throw std::runtime_error("cannot hold a loopback port");
    }
    port_ = ntohs(a.sin_port);
}

HeldPort::~HeldPort() {
    ::close(fd_);
}

std::string HeldPort::Address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

HangingPort::HangingPort() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(held_.Port());
    for (int& filler : fillers_) {
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the queue has filled
}

HangingPort::~HangingPort() {
    for (const int filler : fillers_) {
        ::close(filler);
    }
}

}  // namespace zel::test
