// IoLoop: one I/O thread of the server, its io_context and the connections
// on it, whose time limits it looks at every scan interval so that a request
// costs no timer of its own. HttpConnection is what the loop and the server
// see of a connection.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace zel {

// A connection as its I/O thread and the server see it.
class HttpConnection {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~HttpConnection() = default;
    // On its I/O thread. The server stops: an idle connection closes, the
    // request under way is cancelled and its answer sent.
    virtual void StopSoon() = 0;
    // On its I/O thread: acts on a time limit that has passed.
    virtual void CheckDeadline(Clock::time_point now) = 0;
    // On its I/O thread: closes the connection when it has no request under way.
    virtual void CloseIfIdle() = 0;

    // Any thread: since when no request is under way; max while one is.
    Clock::time_point IdleSince() const { return Clock::time_point(Clock::duration(idle_)); }
    // Any thread: takes the connection out of the idle ones, once, for the
    // caller to close it.
    bool Claim(Clock::time_point since) {
        auto expected = since.time_since_epoch().count();
        return expected != BUSY && idle_.compare_exchange_strong(expected, BUSY);
    }

protected:
    void SetIdle(bool idle) { idle_ = idle ? Clock::now().time_since_epoch().count() : BUSY; }

private:
    static constexpr Clock::rep BUSY = Clock::duration::max().count();
    std::atomic<Clock::rep> idle_{BUSY};
};

// One I/O thread: its io_context and the connections on it, whose time
// limits it looks at now and then.
class IoLoop {
public:
    boost::asio::io_context Context{1};

    void Add(std::shared_ptr<HttpConnection> connection);
    void Remove(HttpConnection* connection);
    // Any thread.
    std::vector<std::shared_ptr<HttpConnection>> Connections() const;
    // Keeps Run() going until Stop(); starts the scan.
    void Hold();
    // From any thread: every connection is told to stop, then Run() ends
    // once their work is done.
    void Stop();

private:
    void Scan();

    mutable std::mutex mutex_;
    std::unordered_map<HttpConnection*, std::shared_ptr<HttpConnection>> connections_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
    boost::asio::steady_timer scan_{Context};
    bool stopped_ = false;
};

}  // namespace zel
