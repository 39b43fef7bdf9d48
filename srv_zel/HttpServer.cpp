#include "srv_zel/HttpServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <thread>

#include "common/EpisodeNotice.h"
#include "server/HttpResponseBytes.h"
#include "srv_zel/HttpAcceptor.h"
#include "srv_zel/HttpSession.h"
#include "srv_zel/TlsContext.h"

namespace zel {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr auto TRIM_INTERVAL = std::chrono::seconds(1);
constexpr std::size_t HANDSHAKE_LINES_PER_SECOND = 10;

std::vector<std::unique_ptr<IoLoop>> IoLoops(std::size_t wanted) {
    const std::size_t n =
        wanted != 0 ? wanted : std::max<std::size_t>(2, std::thread::hardware_concurrency());
    std::vector<std::unique_ptr<IoLoop>> loops;
    for (std::size_t i = 0; i < n; ++i) {
        loops.push_back(std::make_unique<IoLoop>());
    }
    return loops;
}

}  // namespace

ServingContext::ServingContext(HttpServerOptions options, HttpServer::Callbacks callbacks)
    : Options(std::move(options)),
      Cb(std::move(callbacks)),
      Budget(Options.MemoryBudget, [this](const std::string& line) { Notice(line); }),
      Lanes(Options.Lanes, [this](const std::string& line) { Notice(line); }),
      HandshakeFailures(HANDSHAKE_LINES_PER_SECOND, std::chrono::seconds(1)) {
    if (!Options.TlsCert.empty() || !Options.TlsKey.empty()) {
        Tls = std::make_unique<asio::ssl::context>(
            MakeServerTlsContext(Options.TlsCert, Options.TlsKey));
    }
}

void ServingContext::Notice(const std::string& line) const {
    if (Cb.OnNotice && !line.empty()) {
        Cb.OnNotice(line);
    }
}

HttpResponse ServingContext::Answer(const HttpRequest& request,
                                    std::chrono::microseconds& spent) const {
    const auto start = std::chrono::steady_clock::now();
    HttpResponse response;
    try {
        response = Cb.Handle(request);
    } catch (const std::exception& e) {
        response = Cb.Error(500, e.what());
    }
    spent = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                  start);
    return response;
}

class HttpServer::Impl {
public:
    Impl(HttpServerOptions options, Callbacks callbacks)
        : context_(std::move(options), std::move(callbacks)),
          loops_(IoLoops(context_.Options.IoThreads)),
          acceptor_(loops_[0]->Context, context_.Options.Listen,
                    [this](const std::string& line) { context_.Notice(line); }) {}

    ServerAddress Address() const { return {context_.Options.Listen.Host, acceptor_.Port()}; }

    void Run() {
        if (context_.Stopping) {
            return;
        }
        context_.Lanes.Start();
        for (auto& loop : loops_) {
            loop->Hold();
        }
        asio::post(loops_[0]->Context, [this] {
            acceptor_.Start([this]() -> asio::io_context& { return NextLoop().Context; },
                            [this](tcp::socket socket) { OnAccepted(std::move(socket)); },
                            [this](int fd, const std::string& why) { Refuse(fd, why); },
                            [this] { return MakeRoom(); });
            Trim();
        });
        std::vector<std::thread> threads;
        for (std::size_t i = 1; i < loops_.size(); ++i) {
            threads.emplace_back([this, i] { loops_[i]->Context.run(); });
        }
        loops_[0]->Context.run();
        for (auto& t : threads) {
            t.join();
        }
        context_.Lanes.Stop();
    }

    void Stop() {
        context_.Stopping = true;
        asio::post(loops_[0]->Context, [this] {
            acceptor_.Stop();
            trim_.cancel();
        });
        for (auto& loop : loops_) {
            loop->Stop();
        }
    }

private:
    IoLoop& NextLoop() {
        next_ = loops_[turn_++ % loops_.size()].get();
        return *next_;
    }

    // On the first I/O thread; the socket is on next_'s.
    void OnAccepted(tcp::socket socket) {
        if (context_.Stopping) {
            return;
        }
        const std::size_t cap = context_.Options.MaxConnections;
        if (context_.Connections >= cap) {
            const bool room = MakeRoom();
            if (auto line = full_.Begin(std::to_string(cap) +
                                            " connections open: the one idle the longest makes "
                                            "room for a new one; with none idle, 503",
                                        EpisodeNotice::Clock::now());
                line) {
                context_.Notice(*line);
            }
            if (!room) {
                Refuse(socket.native_handle(), "too many connections open; try again later");
                return;
            }
        } else {
            full_.End();
        }
        ++context_.Connections;
        IoLoop& loop = *next_;
        asio::post(loop.Context, [this, &loop, s = std::move(socket)]() mutable {
            StartSession(context_, loop, std::move(s));
        });
    }

    // Closes the connection idle the longest; false when none is idle.
    bool MakeRoom() {
        for (;;) {
            std::shared_ptr<HttpConnection> oldest;
            IoLoop* where = nullptr;
            auto since = HttpConnection::Clock::time_point::max();
            for (const auto& loop : loops_) {
                for (const auto& c : loop->Connections()) {
                    if (c->IdleSince() < since) {
                        since = c->IdleSince();
                        oldest = c;
                        where = loop.get();
                    }
                }
            }
            if (!oldest) {
                return false;
            }
            if (oldest->Claim(since)) {
                asio::post(where->Context, [oldest] { oldest->CloseIfIdle(); });
                return true;
            }
        }
    }

    // Answers 503 on a connection that is not served (a TLS client gets no
    // plain answer, only the close) and logs it.
    void Refuse(int fd, const std::string& reason) {
        const HttpResponse answer = context_.Cb.Error(503, reason);
        if (!context_.Tls) {
            const std::string text = HttpResponseBytes(BeastResponse(answer, false, false));
            [[maybe_unused]] const auto n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        }
        HttpRequest about;
        tcp::endpoint peer;
        socklen_t length = static_cast<socklen_t>(peer.capacity());
        if (::getpeername(fd, peer.data(), &length) == 0) {
            peer.resize(length);
            SetClient(about, peer);
        }
        if (context_.Cb.OnAnswer) {
            context_.Cb.OnAnswer(about, answer, std::chrono::microseconds(0));
        }
    }

    // Now and then: gives freed memory back to the system, and lets the
    // handler tidy.
    void Trim() {
        context_.Budget.Trim();
        if (context_.Cb.OnTidy) {
            context_.Cb.OnTidy();
        }
        trim_.expires_after(TRIM_INTERVAL);
        trim_.async_wait([this](const error_code& ec) {
            if (!ec && !context_.Stopping) {
                Trim();
            }
        });
    }

    ServingContext context_;
    std::vector<std::unique_ptr<IoLoop>> loops_;
    HttpAcceptor acceptor_;
    asio::steady_timer trim_{loops_[0]->Context};
    IoLoop* next_ = nullptr;  // where the connection being accepted goes
    std::size_t turn_ = 0;
    EpisodeNotice full_;
};

HttpServer::HttpServer(HttpServerOptions options, Callbacks callbacks)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(callbacks))) {}

HttpServer::~HttpServer() = default;

ServerAddress HttpServer::Address() const {
    return impl_->Address();
}

void HttpServer::Run() {
    impl_->Run();
}

void HttpServer::Stop() {
    impl_->Stop();
}

}  // namespace zel
