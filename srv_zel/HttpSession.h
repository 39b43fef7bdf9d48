// HttpSession: one client's connection, on one I/O thread, from the TLS
// handshake to the close: reads requests through Beast into a flat buffer
// within the limits, hands each to the handler (in place or on a lane),
// writes the answer, keeps the connection alive as the request asks. While a
// request waits or is served the socket is still watched (bytes sent ahead
// are kept), so a client that goes has its request's Gone cancelled and its
// connection closed at once. Time limits are looked at by the I/O thread's
// scan (IoLoop), so a request costs no timer of its own.
//
// ServingContext is what every session shares; HttpServer owns it.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "srv_zel/HttpServer.h"
#include "srv_zel/LineRateLimit.h"
#include "srv_zel/MemoryBudget.h"
#include "srv_zel/WorkLanes.h"

namespace zel {

struct ServingContext {
    ServingContext(HttpServerOptions options, HttpServer::Callbacks callbacks);

    void Notice(const std::string& line) const;
    // The handler's answer, whatever it throws, and the time it took.
    HttpResponse Answer(const HttpRequest& request, std::chrono::microseconds& spent) const;

    HttpServerOptions Options;
    HttpServer::Callbacks Cb;
    std::unique_ptr<boost::asio::ssl::context> Tls;  // null: plain HTTP
    MemoryBudget Budget;
    WorkLanes Lanes;
    LineRateLimit HandshakeFailures;
    std::atomic<bool> Stopping{false};
    std::atomic<std::size_t> Connections{0};
};

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

// Starts serving a connection accepted on loop's context (counted already
// in context.Connections).
void StartSession(ServingContext& context, IoLoop& loop, boost::asio::ip::tcp::socket socket);

// The client's address (an IPv4 one as such) and port.
void SetClient(HttpRequest& request, const boost::asio::ip::tcp::endpoint& peer);

// An answer in Beast's terms; a HEAD request's announces its body's length
// without it.
boost::beast::http::response<boost::beast::http::string_body> BeastResponse(HttpResponse answer,
                                                                            bool keepAlive,
                                                                            bool head);

}  // namespace zel
