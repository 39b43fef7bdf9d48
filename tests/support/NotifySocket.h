// NotifySocket: the receiving end of systemd's notification protocol, for a
// test: a datagram socket bound in a temporary folder, whose path goes into
// NOTIFY_SOCKET of the program under test. Each message is kept with the time
// it came.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace zel::test {

class NotifySocket {
public:
    using Clock = std::chrono::steady_clock;
    struct Message {
        std::string Text;
        Clock::time_point At;
    };

    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& Path() const { return path_; }
    // The next message, or nullopt when none came within `limit`.
    std::optional<Message> Receive(std::chrono::milliseconds limit);

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace zel::test
