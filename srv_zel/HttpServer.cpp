#include "srv_zel/HttpServer.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "srv_zel/LineRateLimit.h"
#include "srv_zel/TlsContext.h"

namespace zel {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

constexpr std::size_t READ_CHUNK = 16u << 10;
// Bytes a client may send ahead while its request is served (pipelining).
constexpr std::size_t MAX_READ_AHEAD = 64u << 10;
constexpr auto SCAN_INTERVAL = std::chrono::milliseconds(100);
constexpr auto DRAIN_TIME = std::chrono::milliseconds(1000);
// Out of file handles: how long accepting pauses, and how many waiting
// connections are answered 503 each time.
constexpr auto ACCEPT_BACKOFF = std::chrono::milliseconds(100);
constexpr int SHED_PER_BACKOFF = 64;
// Memory is given back to the system after this much was released.
constexpr std::size_t TRIM_AFTER_BYTES = 8u << 20;
constexpr auto TRIM_INTERVAL = std::chrono::seconds(1);
// A server at its limit says so at most this often.
constexpr auto BUSY_NOTICE_INTERVAL = std::chrono::seconds(60);
constexpr std::size_t HANDSHAKE_LINES_PER_SECOND = 10;
constexpr std::string_view CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";

std::string Serialize(const HttpResponse& r, bool close, bool head) {
    std::string out =
        "HTTP/1.1 " + std::to_string(r.Status) + " " + std::string(StatusReason(r.Status)) + "\r\n";
    if (!r.ContentType.empty()) {
        out += "Content-Type: " + r.ContentType + "\r\n";
    }
    for (const auto& [name, value] : r.Headers) {
        out += name + ": " + value + "\r\n";
    }
    out += "Content-Length: " + std::to_string(r.Body.size()) + "\r\n";
    if (close) {
        out += "Connection: close\r\n";
    }
    out += "\r\n";
    if (!head) {
        out += r.Body;
    }
    return out;
}

void SetClient(HttpRequest& request, const tcp::endpoint& peer) {
    const auto address = peer.address();
    request.RemoteAddress = address.is_v6() && address.to_v6().is_v4_mapped()
                                ? address.to_v6().to_v4().to_string()
                                : address.to_string();
    request.RemotePort = peer.port();
}

// Says a thing once per episode, and at most once per interval.
class EpisodeNotice {
public:
    // The line to say now (with how often it happened since the last), or empty.
    std::string Begin(const std::string& line) {
        const std::lock_guard lock(mutex_);
        if (open_) {
            return {};
        }
        open_ = true;
        ++times_;
        const auto now = Clock::now();
        if (last_ != Clock::time_point() && now - last_ < BUSY_NOTICE_INTERVAL) {
            return {};
        }
        last_ = now;
        const std::size_t times = std::exchange(times_, 0);
        return line + (times > 1 ? " (" + std::to_string(times) + " times since the last such line)"
                                 : std::string());
    }
    void End() {
        const std::lock_guard lock(mutex_);
        open_ = false;
    }

private:
    std::mutex mutex_;
    bool open_ = false;
    std::size_t times_ = 0;
    Clock::time_point last_;
};

}  // namespace

std::string_view StatusReason(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Status";
    }
}

class HttpServer::Impl {
public:
    Impl(HttpServerOptions options, Callbacks callbacks)
        : options_(std::move(options)), cb_(std::move(callbacks)), io_(IoThreads(options_)) {
        if (options_.Lanes.empty()) {
            options_.Lanes.push_back({"requests", 1, 0});
        }
        if (!options_.TlsCert.empty() || !options_.TlsKey.empty()) {
            tls_ = std::make_unique<asio::ssl::context>(
                MakeServerTlsContext(options_.TlsCert, options_.TlsKey));
        }
        Bind();
        reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }

    ~Impl() {
        if (reserve_ >= 0) {
            ::close(reserve_);
        }
    }

    ServerAddress Address() const { return {options_.Listen.Host, port_}; }

    void Run() {
        if (stopping_) {
            return;
        }
        StartWorkers();
        for (auto& io : io_) {
            io->guard.emplace(io->ctx.get_executor());
        }
        asio::post(io_[0]->ctx, [this] {
            StartAccept();
            Trim();
        });
        for (auto& io : io_) {
            asio::post(io->ctx, [io = io.get()] { io->Scan(); });
        }
        std::vector<std::thread> threads;
        for (std::size_t i = 1; i < io_.size(); ++i) {
            threads.emplace_back([this, i] { io_[i]->ctx.run(); });
        }
        io_[0]->ctx.run();
        for (auto& t : threads) {
            t.join();
        }
        StopWorkers();
    }

    void Stop() {
        stopping_ = true;
        asio::post(io_[0]->ctx, [this] {
            error_code ignored;
            acceptor_.close(ignored);
            backoff_.cancel();
            trim_.cancel();
        });
        for (auto& io : io_) {
            asio::post(io->ctx, [io = io.get()] {
                for (const auto& c : io->Sessions()) {
                    c->StopSoon();
                }
                io->stopped = true;
                io->scan.cancel();
                io->guard.reset();
            });
        }
    }

private:
    struct IoThread;

    // A connection as the server and the workers see it; lives on one I/O thread.
    class Connection {
    public:
        virtual ~Connection() = default;
        virtual IoThread& Io() = 0;
        // The answer from a worker, on the connection's I/O thread.
        virtual void Respond(HttpResponse answer, std::chrono::microseconds spent) = 0;
        // The server stops: an idle connection closes, a request under way finishes.
        virtual void StopSoon() = 0;
        // Acts on a time limit that has passed.
        virtual void CheckDeadline(Clock::time_point now) = 0;
    };

    // One thread's connections; their time limits are looked at every
    // SCAN_INTERVAL, so a request costs no timer of its own.
    struct IoThread {
        asio::io_context ctx{1};
        std::optional<WorkGuard> guard;
        asio::steady_timer scan{ctx};
        bool stopped = false;
        std::unordered_map<Connection*, std::shared_ptr<Connection>> sessions;

        std::vector<std::shared_ptr<Connection>> Sessions() const {
            std::vector<std::shared_ptr<Connection>> all;
            for (const auto& [raw, c] : sessions) {
                all.push_back(c);
            }
            return all;
        }
        void Scan() {
            if (stopped) {
                return;
            }
            scan.expires_after(SCAN_INTERVAL);
            scan.async_wait([this](const error_code& ec) {
                if (ec) {
                    return;
                }
                const auto now = Clock::now();
                for (const auto& c : Sessions()) {
                    c->CheckDeadline(now);
                }
                Scan();
            });
        }
    };

    template <class Stream>
    class Session;

    struct Job {
        std::shared_ptr<Connection> conn;
        HttpRequest request;
        WorkGuard guard;
    };

    struct Lane {
        HttpLane config;
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Job> queue;
        std::size_t busy = 0;
        bool stop = false;
        EpisodeNotice allBusy;
        std::vector<std::thread> threads;
    };

    static std::vector<std::unique_ptr<IoThread>> IoThreads(const HttpServerOptions& options) {
        std::size_t n = options.IoThreads;
        if (n == 0) {
            n = std::max<std::size_t>(2, std::thread::hardware_concurrency());
        }
        std::vector<std::unique_ptr<IoThread>> threads;
        for (std::size_t i = 0; i < n; ++i) {
            threads.push_back(std::make_unique<IoThread>());
        }
        return threads;
    }

    void Bind() {
        const std::string where = options_.Listen.ToString();
        error_code ec;
        tcp::resolver resolver(io_[0]->ctx);
        const auto found =
            resolver.resolve(options_.Listen.Host, std::to_string(options_.Listen.Port),
                             tcp::resolver::passive | tcp::resolver::numeric_service, ec);
        if (ec) {
            throw std::runtime_error("cannot listen on " + where + ": " + ec.message());
        }
        for (const auto& entry : found) {
            error_code closed;
            acceptor_.close(closed);
            // SO_REUSEADDR alone: a restart binds at once, yet a second server
            // on the same port fails instead of sharing it.
            const std::function<void()> steps[] = {
                [&] { acceptor_.open(entry.endpoint().protocol(), ec); },
                [&] { acceptor_.set_option(tcp::acceptor::reuse_address(true), ec); },
                [&] { acceptor_.bind(entry.endpoint(), ec); },
                [&] { acceptor_.listen(asio::socket_base::max_listen_connections, ec); },
                [&] { acceptor_.non_blocking(true, ec); },
            };
            ec.clear();
            for (const auto& step : steps) {
                if (!ec) {
                    step();
                }
            }
            if (!ec) {
                port_ = acceptor_.local_endpoint().port();
                return;
            }
        }
        throw std::runtime_error("cannot listen on " + where + ": " +
                                 (ec ? ec.message() : std::string("no address")));
    }

    void Notice(const std::string& line) {
        if (cb_.OnNotice && !line.empty()) {
            cb_.OnNotice(line);
        }
    }

    // ---- memory ----

    bool Charge(std::size_t bytes) {
        std::size_t used = inUse_.load();
        do {
            if (used + bytes > options_.MemoryBudget) {
                Notice(budgetFull_.Begin("request bodies and answers hold the memory budget of " +
                                         std::to_string(options_.MemoryBudget >> 20) +
                                         " MiB: new ones are answered 503"));
                return false;
            }
        } while (!inUse_.compare_exchange_weak(used, used + bytes));
        return true;
    }

    void Release(std::size_t bytes) {
        if (bytes == 0) {
            return;
        }
        if (inUse_.fetch_sub(bytes) - bytes < options_.MemoryBudget / 2) {
            budgetFull_.End();
        }
        released_ += bytes;
    }

    // Gives freed memory back to the system once the load that took it is gone.
    void Trim() {
        if (released_ >= TRIM_AFTER_BYTES && inUse_ < TRIM_AFTER_BYTES) {
            released_ = 0;
            malloc_trim(0);
        }
        trim_.expires_after(TRIM_INTERVAL);
        trim_.async_wait([this](const error_code& ec) {
            if (!ec && !stopping_) {
                Trim();
            }
        });
    }

    // ---- accepting, on the first I/O thread ----

    void StartAccept() {
        if (stopping_) {
            return;
        }
        IoThread& io = *io_[nextIo_++ % io_.size()];
        acceptor_.async_accept(io.ctx, [this, &io](const error_code& ec, tcp::socket socket) {
            OnAccept(ec, std::move(socket), io);
        });
    }

    void OnAccept(const error_code& ec, tcp::socket socket, IoThread& io) {
        if (ec == asio::error::operation_aborted || stopping_) {
            return;
        }
        if (ec == asio::error::no_descriptors || ec.value() == ENFILE) {
            OutOfHandles();
            return;
        }
        handlesShort_.End();
        if (ec) {
            StartAccept();  // the client went before it was taken
            return;
        }
        if (connections_ >= options_.MaxConnections) {
            Notice(connectionsFull_.Begin(std::to_string(options_.MaxConnections) +
                                          " connections open: new ones are answered 503"));
            RefuseConnection(socket.native_handle(), "too many connections open; try again later");
        } else {
            connectionsFull_.End();
            ++connections_;
            asio::post(io.ctx,
                       [this, &io, s = std::move(socket)]() mutable { Launch(io, std::move(s)); });
        }
        StartAccept();
    }

    // No handle for a new connection: the spare one is let go to answer
    // those waiting 503, then accepting pauses, so the thread never spins.
    void OutOfHandles() {
        Notice(handlesShort_.Begin(
            "out of file handles (" + std::to_string(connections_) +
            " connections open): new ones are answered 503; raise LimitNOFILE"));
        for (int i = 0; i < SHED_PER_BACKOFF; ++i) {
            if (reserve_ >= 0) {
                ::close(reserve_);
                reserve_ = -1;
            }
            const int fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                break;
            }
            RefuseConnection(fd, "the server is out of file handles; try again later");
            ::close(fd);
            reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        if (reserve_ < 0) {
            reserve_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        backoff_.expires_after(ACCEPT_BACKOFF);
        backoff_.async_wait([this](const error_code& ec) {
            if (!ec) {
                StartAccept();
            }
        });
    }

    // Answers 503 on a connection that is not served (a TLS client gets no
    // plain answer, only the close) and logs it.
    void RefuseConnection(int fd, const std::string& reason) {
        const HttpResponse answer = cb_.Error(503, reason);
        if (!tls_) {
            const std::string bytes = Serialize(answer, true, false);
            [[maybe_unused]] const auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        HttpRequest about;
        tcp::endpoint peer;
        socklen_t length = static_cast<socklen_t>(peer.capacity());
        if (::getpeername(fd, peer.data(), &length) == 0) {
            peer.resize(length);
            SetClient(about, peer);
        }
        if (cb_.OnAnswer) {
            cb_.OnAnswer(about, answer, std::chrono::microseconds(0));
        }
    }

    void Launch(IoThread& io, tcp::socket socket);

    // ---- answering ----

    // The handler's answer, whatever it throws.
    HttpResponse Answer(const HttpRequest& request, std::chrono::microseconds& spent) {
        const auto start = Clock::now();
        HttpResponse response;
        try {
            response = cb_.Handle(request);
        } catch (const std::exception& e) {
            response = cb_.Error(500, e.what());
        }
        spent = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        return response;
    }

    void StartWorkers() {
        lanes_.clear();
        for (const auto& config : options_.Lanes) {
            auto lane = std::make_unique<Lane>();
            lane->config = config;
            const std::size_t n = config.Workers == 0 ? 1 : config.Workers;
            for (std::size_t i = 0; i < n; ++i) {
                lane->threads.emplace_back([this, l = lane.get()] { Work(*l); });
            }
            lanes_.push_back(std::move(lane));
        }
    }

    void StopWorkers() {
        for (auto& lane : lanes_) {
            {
                const std::lock_guard lock(lane->mutex);
                lane->stop = true;
            }
            lane->ready.notify_all();
            for (auto& t : lane->threads) {
                t.join();
            }
        }
        lanes_.clear();
    }

    void Work(Lane& lane) {
        for (;;) {
            std::optional<Job> job;
            {
                std::unique_lock lock(lane.mutex);
                lane.ready.wait(lock, [&] { return lane.stop || !lane.queue.empty(); });
                if (lane.queue.empty()) {
                    return;
                }
                job.emplace(std::move(lane.queue.front()));
                lane.queue.pop_front();
                ++lane.busy;
            }
            std::chrono::microseconds spent{};
            HttpResponse answer = Answer(job->request, spent);
            Connection& conn = *job->conn;
            asio::post(conn.Io().ctx, [j = std::move(*job), a = std::move(answer),
                                       spent]() mutable { j.conn->Respond(std::move(a), spent); });
            const std::lock_guard lock(lane.mutex);
            --lane.busy;
            if (lane.queue.empty()) {
                lane.allBusy.End();
            }
        }
    }

    // Queues a request on its lane; false when the lane's queue is full.
    bool Dispatch(std::size_t index, std::shared_ptr<Connection> conn, HttpRequest request) {
        Lane& lane = *lanes_[index < lanes_.size() ? index : 0];
        bool full = false;
        {
            const std::lock_guard lock(lane.mutex);
            if (lane.config.MaxQueued != 0 && lane.queue.size() >= lane.config.MaxQueued) {
                return false;
            }
            full = lane.busy + lane.queue.size() >= lane.threads.size();
            WorkGuard guard(conn->Io().ctx.get_executor());
            lane.queue.push_back({std::move(conn), std::move(request), std::move(guard)});
        }
        lane.ready.notify_one();
        if (full) {
            Notice(lane.allBusy.Begin("all " + std::to_string(lane.threads.size()) + " " +
                                      lane.config.Name +
                                      " workers busy; requests wait their turn"));
        }
        return true;
    }

    HttpServerOptions options_;
    Callbacks cb_;
    std::vector<std::unique_ptr<IoThread>> io_;
    std::unique_ptr<asio::ssl::context> tls_;
    tcp::acceptor acceptor_{io_[0]->ctx};
    asio::steady_timer backoff_{io_[0]->ctx};
    asio::steady_timer trim_{io_[0]->ctx};
    int reserve_ = -1;  // a spare file handle, let go when accept() runs out
    std::uint16_t port_ = 0;
    std::size_t nextIo_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> connections_{0};
    std::atomic<std::size_t> inUse_{0};
    std::atomic<std::size_t> released_{0};
    EpisodeNotice connectionsFull_;
    EpisodeNotice handlesShort_;
    EpisodeNotice budgetFull_;
    LineRateLimit handshakeFailures_{HANDSHAKE_LINES_PER_SECOND, std::chrono::seconds(1)};
    std::vector<std::unique_ptr<Lane>> lanes_;
};

// One connection, on one I/O thread. A read is kept under way in every
// phase, so a client that resets is seen (and its connection closed) at
// once, even while its request is with a worker; what a client sends ahead
// meanwhile waits, up to MAX_READ_AHEAD.
template <class Stream>
class HttpServer::Impl::Session : public Connection,
                                  public std::enable_shared_from_this<Session<Stream>> {
public:
    static constexpr bool TLS = !std::is_same_v<Stream, tcp::socket>;

    Session(Impl& server, IoThread& io, tcp::socket socket)
        : server_(server),
          io_(io),
          stream_(MakeStream(server, std::move(socket))),
          parser_(server.options_.Limits) {}

    IoThread& Io() override { return io_; }

    void Start() {
        io_.sessions.emplace(this, this->shared_from_this());
        auto& socket = stream_.lowest_layer();
        error_code ec;
        socket.set_option(tcp::no_delay(true), ec);
        const auto peer = socket.remote_endpoint(ec);
        if (!ec) {
            SetClient(about_, peer);
        }
        if constexpr (TLS) {
            phase_ = Phase::Handshake;
            SetDeadline(server_.options_.RequestTimeLimit);  // the handshake has a request's time
            stream_.async_handshake(
                asio::ssl::stream_base::server,
                [self = this->shared_from_this()](const error_code& e) { self->OnHandshake(e); });
        } else {
            StartReading();
        }
    }

    void Respond(HttpResponse answer, std::chrono::microseconds spent) override {
        if (closed_) {
            return;  // the client left while its request was served
        }
        ReleaseBody();
        std::string bytes = Serialize(answer, !keepAlive_, head_);
        if (server_.Charge(bytes.size())) {
            answerCharged_ = bytes.size();
        } else {
            answer =
                server_.cb_.Error(503, "the server holds as much as it may now; try again later");
            keepAlive_ = false;
            bytes = Serialize(answer, true, head_);
        }
        if (server_.cb_.OnAnswer) {
            server_.cb_.OnAnswer(about_, answer, spent);
        }
        StartWriting(std::move(bytes), !keepAlive_);
    }

    void StopSoon() override {
        if (phase_ == Phase::Working || phase_ == Phase::Writing) {
            keepAlive_ = false;
            closeAfterWrite_ = true;
        } else {
            Close();
        }
    }

private:
    // Draining: the answer is sent and the sending side shut; what the client
    // still sends is read and dropped for a moment, so that closing with
    // unread bytes (which resets the connection) does not destroy the answer
    // before the client has read it.
    enum class Phase { Handshake, Reading, Working, Writing, Draining };

    static Stream MakeStream(Impl& server, tcp::socket socket) {
        if constexpr (TLS) {
            return Stream(std::move(socket), *server.tls_);
        } else {
            return socket;
        }
    }

    const HttpServerOptions& Options() const { return server_.options_; }

    void OnHandshake(const error_code& ec) {
        if (closed_) {
            return;
        }
        if (ec) {
            if (auto line = server_.handshakeFailures_.Admit(
                    "TLS handshake with " + about_.RemoteAddress + ":" +
                    std::to_string(about_.RemotePort) + " failed: " + ec.message())) {
                server_.Notice(*line);
            }
            Close();
            return;
        }
        StartReading();
    }

    void StartReading() {
        phase_ = Phase::Reading;
        continueSent_ = false;
        requestTimed_ = false;
        SetDeadline(Options().IdleLimit);
        Parse();
        Read();
    }

    void Read() {
        if (reading_ || closed_ || peerDone_ ||
            (phase_ != Phase::Reading && pending_.size() >= MAX_READ_AHEAD)) {
            return;
        }
        reading_ = true;
        stream_.async_read_some(asio::buffer(buffer_), [self = this->shared_from_this()](
                                                           const error_code& ec, std::size_t n) {
            self->reading_ = false;
            self->OnRead(ec, n);
        });
    }

    void OnRead(const error_code& ec, std::size_t n) {
        if (closed_) {
            return;
        }
        if (ec) {
            // A client that only stopped sending still gets its answer; a
            // reset, or an end with nothing under way, closes now.
            if (ec == asio::error::eof && (phase_ == Phase::Working || phase_ == Phase::Writing)) {
                peerDone_ = true;
                return;
            }
            Close();
            return;
        }
        if (phase_ != Phase::Draining) {
            pending_.append(buffer_.data(), n);
        }
        Parse();
        Read();
    }

    // Feeds what is pending to the parser and acts on a complete request.
    void Parse() {
        while (phase_ == Phase::Reading && !pending_.empty()) {
            const std::size_t used = parser_.Feed(pending_);
            pending_.erase(0, used);
            if (parser_.Started() && !requestTimed_) {
                requestTimed_ = true;
                SetDeadline(Options().RequestTimeLimit);
            }
            about_.Method = parser_.Partial().Method;
            about_.Path = parser_.Partial().Path;
            about_.Target = parser_.Partial().Target;
            if (parser_.Failed()) {
                pending_.clear();
                Refuse(parser_.ErrorStatus(), parser_.ErrorReason());
                return;
            }
            if (const std::size_t body = parser_.BodyAnnounced(); body > bodyCharged_) {
                if (!server_.Charge(body - bodyCharged_)) {
                    pending_.clear();
                    Refuse(503, "the server holds as much as it may now; try again later");
                    return;
                }
                bodyCharged_ = body;
            }
            if (parser_.WantsContinue() && !continueSent_ && !parser_.Done()) {
                continueSent_ = true;
                Send(std::string(CONTINUE));
            }
            if (!parser_.Done()) {
                return;
            }
            Serve(parser_.Take());
        }
    }

    void Serve(HttpRequest request) {
        request.RemoteAddress = about_.RemoteAddress;
        request.RemotePort = about_.RemotePort;
        phase_ = Phase::Working;
        SetDeadline(Clock::duration::max());  // the lanes keep their own time
        head_ = request.Method == "HEAD";
        keepAlive_ = request.KeepAlive && !server_.stopping_ && !closeAfterWrite_;
        const Callbacks& cb = server_.cb_;
        if (cb.Allowed && !cb.Allowed(request)) {
            Refuse(401, "access key refused");
            return;
        }
        const std::size_t lane = cb.Lane ? cb.Lane(request) : 0;
        if (lane == IN_PLACE) {
            std::chrono::microseconds spent{};
            HttpResponse answer = server_.Answer(request, spent);
            Respond(std::move(answer), spent);
            return;
        }
        if (!server_.Dispatch(lane, this->shared_from_this(), std::move(request))) {
            Refuse(503, "too many requests of this kind waiting; try again later");
        }
    }

    // Answers the server's own refusal and closes after it.
    void Refuse(int status, const std::string& reason) {
        ReleaseBody();
        const HttpResponse answer = server_.cb_.Error(status, reason);
        if (server_.cb_.OnAnswer) {
            server_.cb_.OnAnswer(about_, answer, std::chrono::microseconds(0));
        }
        StartWriting(Serialize(answer, true, about_.Method == "HEAD"), true);
    }

    void StartWriting(std::string bytes, bool close) {
        phase_ = Phase::Writing;
        closeAfterWrite_ = closeAfterWrite_ || close;
        SetDeadline(Options().WriteTimeLimit);
        Send(std::move(bytes));
    }

    void Send(std::string bytes) {
        queued_ += bytes;
        if (writing_) {
            return;
        }
        writing_ = true;
        out_ = std::move(queued_);
        queued_.clear();
        asio::async_write(stream_, asio::buffer(out_),
                          [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                              self->writing_ = false;
                              self->OnWritten(ec);
                          });
    }

    void OnWritten(const error_code& ec) {
        if (closed_) {
            return;
        }
        if (ec) {
            Close();
            return;
        }
        out_.clear();
        out_.shrink_to_fit();
        if (!queued_.empty()) {
            Send({});
            return;
        }
        if (phase_ != Phase::Writing) {
            return;  // a "100 Continue" went out; reading goes on
        }
        server_.Release(std::exchange(answerCharged_, 0));
        if (closeAfterWrite_ || peerDone_) {
            error_code ignored;
            stream_.lowest_layer().shutdown(tcp::socket::shutdown_send, ignored);
            if (server_.stopping_ || peerDone_) {
                Close();
                return;
            }
            phase_ = Phase::Draining;
            pending_.clear();
            SetDeadline(DRAIN_TIME);
            Read();
            return;
        }
        StartReading();
    }

    void SetDeadline(Clock::duration limit) {
        deadline_ =
            limit == Clock::duration::max() ? Clock::time_point::max() : Clock::now() + limit;
    }

    void CheckDeadline(Clock::time_point now) override {
        if (!closed_ && now >= deadline_) {
            OnDeadline();
        }
    }

    void OnDeadline() {
        if (phase_ == Phase::Reading && parser_.Started()) {
            Refuse(408, "the request did not come whole within " +
                            std::to_string(Options().RequestTimeLimit.count()) + " ms");
            return;
        }
        Close();
    }

    void ReleaseBody() { server_.Release(std::exchange(bodyCharged_, 0)); }

    void Close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        const auto self = this->shared_from_this();  // the registry may hold the last one
        ReleaseBody();
        server_.Release(std::exchange(answerCharged_, 0));
        error_code ignored;
        stream_.lowest_layer().close(ignored);
        io_.sessions.erase(this);
        --server_.connections_;
    }

    Impl& server_;
    IoThread& io_;
    Stream stream_;
    Clock::time_point deadline_;
    HttpRequestParser parser_;
    HttpRequest about_;  // the request's line and client, for the access callback
    std::array<char, READ_CHUNK> buffer_{};
    std::string pending_;  // bytes read past the request under way
    std::string out_;      // being written
    std::string queued_;   // to write after it
    Phase phase_ = Phase::Reading;
    std::size_t bodyCharged_ = 0;
    std::size_t answerCharged_ = 0;
    bool reading_ = false;
    bool writing_ = false;
    bool peerDone_ = false;  // the client sends no more
    bool closed_ = false;
    bool closeAfterWrite_ = false;
    bool keepAlive_ = true;
    bool head_ = false;
    bool continueSent_ = false;
    bool requestTimed_ = false;
};

void HttpServer::Impl::Launch(IoThread& io, tcp::socket socket) {
    if (stopping_) {
        --connections_;
        return;
    }
    if (tls_) {
        std::make_shared<Session<asio::ssl::stream<tcp::socket>>>(*this, io, std::move(socket))
            ->Start();
    } else {
        std::make_shared<Session<tcp::socket>>(*this, io, std::move(socket))->Start();
    }
}

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
