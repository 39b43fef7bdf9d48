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
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "srv_zel/HttpServer.h"
#include "srv_zel/IoLoop.h"
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
