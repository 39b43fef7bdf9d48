#include "srv_zel/IoLoop.h"

#include <boost/asio/post.hpp>

namespace zel {

namespace {

constexpr auto SCAN_INTERVAL = std::chrono::milliseconds(100);

}  // namespace

void IoLoop::Add(std::shared_ptr<HttpConnection> connection) {
    const std::lock_guard lock(mutex_);
    connections_.emplace(connection.get(), std::move(connection));
}

void IoLoop::Remove(HttpConnection* connection) {
    std::shared_ptr<HttpConnection> last;  // destroyed outside the lock
    const std::lock_guard lock(mutex_);
    if (const auto it = connections_.find(connection); it != connections_.end()) {
        last = std::move(it->second);
        connections_.erase(it);
    }
}

std::vector<std::shared_ptr<HttpConnection>> IoLoop::Connections() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<HttpConnection>> all;
    all.reserve(connections_.size());
    for (const auto& [raw, c] : connections_) {
        all.push_back(c);
    }
    return all;
}

void IoLoop::Hold() {
    guard_.emplace(Context.get_executor());
    boost::asio::post(Context, [this] { Scan(); });
}

void IoLoop::Stop() {
    boost::asio::post(Context, [this] {
        for (const auto& c : Connections()) {
            c->StopSoon();
        }
        stopped_ = true;
        scan_.cancel();
        guard_.reset();
    });
}

void IoLoop::Scan() {
    if (stopped_) {
        return;
    }
    scan_.expires_after(SCAN_INTERVAL);
    scan_.async_wait([this](const boost::system::error_code& ec) {
        if (ec) {
            return;
        }
        const auto now = HttpConnection::Clock::now();
        for (const auto& c : Connections()) {
            c->CheckDeadline(now);
        }
        Scan();
    });
}

}  // namespace zel
