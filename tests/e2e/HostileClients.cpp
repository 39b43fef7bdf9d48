#include "HostileClients.h"

#include <sys/socket.h>

#include <algorithm>

namespace zel::e2e {

using namespace std::chrono_literals;

std::vector<HostileKind> HttpHostileKinds(const std::string& path) {
    static const std::string fast(64 * 1024, 'x');
    const std::string get = "GET " + path + " HTTP/1.1\r\n";
    return {
        {"idle holders past the limit", 40, "", ""},
        {"a slow head, a byte every 500 ms", 20, get + "X-Slow: ", "a", 500ms},
        {"a huge body announced, sent at full speed", 30,
         get + "Content-Length: 1073741824\r\n\r\n", fast},
        {"a body trickled, a byte every 50 ms", 30, get + "Content-Length: 1048576\r\n\r\n", "x",
         50ms},
        {"a chunked body", 30, get + "Transfer-Encoding: chunked\r\n\r\n",
         "400\r\n" + std::string(1024, 'x') + "\r\n"},
        {"POST", 30, "POST " + path + " HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", ""},
        {"PUT of 1 GiB, sent at full speed", 30,
         "PUT " + path + " HTTP/1.1\r\nContent-Length: 1073741824\r\n\r\n", fast},
        {"a head past 8 KiB", 30, get + "X-Long: " + std::string(16384, 'a'), ""},
    };
}

HostileClients::HostileClients(std::uint16_t port, const HostileKind& kind)
    : pumped_(kind.Pumped), every_(kind.Every) {
    for (int i = 0; i < kind.Count; ++i) {
        all_.push_back(std::make_unique<Terminal>(port, 0));
        if (!kind.Opening.empty()) {
            all_.back()->Send(kind.Opening);
        }
    }
    if (!pumped_.empty()) {
        thread_ = std::thread([this] { Pump(); });
    }
}

HostileClients::~HostileClients() {
    StopSending();
}

void HostileClients::StopSending() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void HostileClients::Pump() {
    while (!stop_) {
        bool took = false;
        for (const auto& client : all_) {
            // Never blocking: a server that stops reading holds nothing here.
            const ssize_t sent = ::send(client->Handle(), pumped_.data(), pumped_.size(),
                                        MSG_DONTWAIT | MSG_NOSIGNAL);
            took = took || sent > 0;
        }
        std::this_thread::sleep_for(every_.count() > 0 || !took ? std::max(every_, 1ms) : 0ms);
    }
}

}  // namespace zel::e2e
