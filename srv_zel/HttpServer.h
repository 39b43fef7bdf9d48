// HttpServer: serves HTTP/1.1 (and HTTPS) to many clients on Boost.Beast and
// Asio. I/O threads, one per core, read requests within HttpLimits and time
// limits and write answers; a request that takes microseconds is answered on
// the I/O thread that read it, one that may take long goes to a lane of
// workers, each lane with its own threads and queue, so that slow requests
// of one kind (queries) never take the workers of another, and an idle or
// slow client holds no thread at all.
//
// Bounded: request bodies and unsent answers share one memory budget (past
// it: 503), connections are capped (the one idle the longest makes room for
// a newcomer; with none idle, 503), running out of file handles backs off
// and answers 503. A client that goes while its request waits or is served
// has its connection closed at once and the request's Gone cancelled.
// Every limit answers with its HTTP status and passes through the access
// callback like any request; the server's own notices (all workers of a lane
// busy, too many connections, the memory budget, file handles) go to the
// notice callback, once per episode.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/ServerAddress.h"
#include "srv_zel/HttpRequest.h"
#include "srv_zel/WorkLanes.h"

namespace zel {

struct HttpResponse {
    int Status = 200;
    std::string ContentType;
    std::string Body;
    std::vector<std::pair<std::string, std::string>> Headers;  // beyond the framing ones
};

struct HttpServerOptions {
    ServerAddress Listen{"127.0.0.1", 0};  // port 0: any free port
    std::vector<HttpLane> Lanes{{"requests", 4, 0}};
    HttpLimits Limits;
    std::size_t MaxConnections = 1024;
    // Threads that read and write; 0: one per core, at least 2.
    std::size_t IoThreads = 0;
    // Bytes of request bodies and of answers not yet sent, all connections
    // together.
    std::size_t MemoryBudget = 64u << 20;
    // From a request's first byte to its last.
    std::chrono::milliseconds RequestTimeLimit{10'000};
    // A kept-alive connection with no request under way is closed after this.
    std::chrono::milliseconds IdleLimit{60'000};
    // For the client to take an answer.
    std::chrono::milliseconds WriteTimeLimit{10'000};
    // HTTPS with this certificate chain and key (PEM files); empty: plain
    // HTTP. The handshake must end within RequestTimeLimit.
    std::string TlsCert;
    std::string TlsKey;
};

class HttpServer {
public:
    // Which lane serves a request (an index into Lanes), or IN_PLACE, on the
    // I/O thread that read it.
    using LaneOf = std::function<std::size_t(const HttpRequest&)>;
    static constexpr std::size_t IN_PLACE = static_cast<std::size_t>(-1);
    // Whether a request may be served at all, on the I/O thread, before any
    // worker: a refused one is answered 401 and its connection closed.
    using Admit = std::function<bool(const HttpRequest&)>;
    // Answers a request, on a worker thread of its lane or, IN_PLACE, on the
    // I/O thread; a HEAD request's body is not sent.
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // The answer to a request the server itself refused (status, reason).
    using ErrorBody = std::function<HttpResponse(int status, const std::string& reason)>;
    // Every answer sent, on an I/O thread: the request's line and client
    // (method and path empty when unreadable; no headers or body), the
    // answer, the time the handler took.
    using Access = std::function<void(const HttpRequest&, const HttpResponse&,
                                      std::chrono::microseconds spent)>;
    using Notice = std::function<void(const std::string& line)>;
    // Now and then (about every second), on an I/O thread: lets the handler
    // let go of what it keeps between requests.
    using Tidy = std::function<void()>;

    struct Callbacks {
        LaneOf Lane;
        Admit Allowed;  // null: every request
        Handler Handle;
        ErrorBody Error;
        Access OnAnswer;
        Notice OnNotice;
        Tidy OnTidy;  // may be null
    };

    // Loads the certificate and binds the listening socket; throws
    // std::runtime_error naming the files or the address.
    HttpServer(HttpServerOptions options, Callbacks callbacks);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    ServerAddress Address() const;

    // Serves until Stop(); answers under way are finished and sent first.
    // Stop() cancels the Gone of every request waiting or under way.
    void Run();
    // From any thread, before, during or after Run().
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zel
