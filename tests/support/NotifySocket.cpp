#include "NotifySocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zel::test {

NotifySocket::NotifySocket(const std::string& path) : path_(path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        throw std::runtime_error("notify socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd_ >= 0) {
            ::close(fd_);
        }
        throw std::runtime_error("cannot bind notify socket " + path + ": " + reason);
    }
}

NotifySocket::~NotifySocket() {
    ::close(fd_);
    ::unlink(path_.c_str());
}

std::optional<NotifySocket::Message> NotifySocket::Receive(std::chrono::milliseconds limit) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) <= 0) {
        return std::nullopt;
    }
    std::array<char, 4096> buffer{};
    const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (got < 0) {
        return std::nullopt;
    }
    return Message{std::string(buffer.data(), static_cast<std::size_t>(got)), Clock::now()};
}

}  // namespace zel::test
