#include "srv_zel/HttpServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "srv_zel/TlsContext.h"

namespace zel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t LISTENER_ID = 0;
constexpr std::uint64_t WAKE_ID = 1;
constexpr std::size_t READ_CHUNK = 16u << 10;
constexpr std::size_t MAX_READ_PER_WAKE = 64u << 10;  // fairness between connections
constexpr auto SCAN_INTERVAL = std::chrono::milliseconds(100);
constexpr auto DRAIN_TIME = std::chrono::milliseconds(1000);
// A server at its limit says so at most this often.
constexpr auto BUSY_NOTICE_INTERVAL = std::chrono::seconds(60);
constexpr const char* CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        Reset();
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    int Get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_;
};

std::string Serialize(const HttpResponse& r, bool close) {
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
    out += r.Body;
    return out;
}

void PeerOf(int fd, std::string& address, int& port) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        return;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    }
    address = text;
}

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
        : options_(std::move(options)), cb_(std::move(callbacks)) {
        if (options_.Lanes.empty()) {
            options_.Lanes.push_back({"requests", 1, 0});
        }
        if (!options_.TlsCert.empty() || !options_.TlsKey.empty()) {
            tls_ = std::make_unique<TlsContext>(options_.TlsCert, options_.TlsKey);
        }
        Bind();
        epoll_ = Fd(epoll_create1(EPOLL_CLOEXEC));
        wake_ = Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (epoll_.Get() < 0 || wake_.Get() < 0) {
            throw std::runtime_error(std::string("cannot watch connections: ") +
                                     std::strerror(errno));
        }
        Watch(listener_.Get(), LISTENER_ID, EPOLLIN);
        Watch(wake_.Get(), WAKE_ID, EPOLLIN);
    }

    ServerAddress Address() const { return {options_.Listen.Host, port_}; }

    void Run() {
        if (stopping_) {
            return;
        }
        StartWorkers();
        {
            const BrokenPipeOff quiet;
            Loop();
        }
        StopWorkers();
    }

    void Stop() {
        stopping_ = true;
        Wake();
    }

private:
    // Draining: the answer is sent and the sending side shut; what the client
    // still sends is read and dropped for a moment, so that closing with
    // unread bytes (which resets the connection) does not destroy the answer
    // before the client has read it.
    enum class Phase { Reading, Working, Writing, Draining };

    // OpenSSL writes to a socket without MSG_NOSIGNAL: on the watching thread,
    // the only one that writes, a client that went away gives EPIPE instead.
    class BrokenPipeOff {
    public:
        BrokenPipeOff() {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
        }
        ~BrokenPipeOff() {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec now{0, 0};
            while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
            }
            pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        }
        BrokenPipeOff(const BrokenPipeOff&) = delete;
        BrokenPipeOff& operator=(const BrokenPipeOff&) = delete;

    private:
        sigset_t previous_;
    };

    enum class Io { Ok, Again, Ended };  // Ended: closed by the client, or failed

    struct Conn {
        Fd fd;
        std::unique_ptr<TlsStream> tls;  // null: plain HTTP
        bool handshaking = false;
        std::uint32_t tlsNeeds = 0;  // readiness a TLS step waits for
        std::uint64_t id = 0;
        HttpRequestParser parser;
        std::string pending;  // bytes read past the request under way
        std::string out;
        std::size_t sent = 0;
        Phase phase = Phase::Reading;
        bool closeAfterWrite = false;
        bool continueSent = false;
        bool requestTimed = false;
        Clock::time_point deadline;
        std::string peer;
        int peerPort = 0;
        std::uint32_t events = 0;
    };

    struct Job {
        std::uint64_t conn;
        HttpRequest request;
    };

    struct Lane {
        HttpLane config;
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Job> queue;
        std::size_t busy = 0;
        bool stop = false;
        bool busyNoticed = false;
        std::size_t busyTimes = 0;  // since the last notice
        Clock::time_point lastNotice;
        std::vector<std::thread> threads;
    };

    struct Answer {
        std::uint64_t conn;
        std::string bytes;
        bool close;
    };

    void Bind() {
        const std::string port = std::to_string(options_.Listen.Port);
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE;
        addrinfo* found = nullptr;
        const std::string where = options_.Listen.ToString();
        if (const int rc = getaddrinfo(options_.Listen.Host.c_str(), port.c_str(), &hints, &found);
            rc != 0) {
            throw std::runtime_error("cannot listen on " + where + ": " + gai_strerror(rc));
        }
        const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
        int error = 0;
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
            Fd sock(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            const int yes = 1;
            // SO_REUSEADDR alone: a restart binds at once, yet a second server
            // on the same port fails instead of sharing it.
            if (sock.Get() < 0 ||
                setsockopt(sock.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
                bind(sock.Get(), a->ai_addr, a->ai_addrlen) != 0 ||
                listen(sock.Get(), SOMAXCONN) != 0) {
                error = errno;
                continue;
            }
            sockaddr_storage bound{};
            socklen_t len = sizeof bound;
            getsockname(sock.Get(), reinterpret_cast<sockaddr*>(&bound), &len);
            port_ = ntohs(bound.ss_family == AF_INET6
                              ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            listener_ = std::move(sock);
            return;
        }
        throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(error));
    }

    void Watch(int fd, std::uint64_t id, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = id;
        epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &ev);
    }

    void Wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = write(wake_.Get(), &one, sizeof one);
    }

    void Notice(const std::string& line) {
        if (cb_.OnNotice) {
            cb_.OnNotice(line);
        }
    }

    // ---- workers ----

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
            Job job;
            {
                std::unique_lock lock(lane.mutex);
                lane.ready.wait(lock, [&] { return lane.stop || !lane.queue.empty(); });
                if (lane.stop) {
                    return;
                }
                job = std::move(lane.queue.front());
                lane.queue.pop_front();
                ++lane.busy;
            }
            const auto start = Clock::now();
            HttpResponse response;
            try {
                response = cb_.Handle(job.request);
            } catch (const std::exception& e) {
                response = cb_.Error(500, e.what());
            }
            const auto spent =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            if (cb_.OnAnswer) {
                cb_.OnAnswer(job.request, response, spent);
            }
            Post({job.conn, Serialize(response, !job.request.KeepAlive), !job.request.KeepAlive});
            const std::lock_guard lock(lane.mutex);
            --lane.busy;
            if (lane.queue.empty()) {
                lane.busyNoticed = false;
            }
        }
    }

    void Post(Answer answer) {
        {
            const std::lock_guard lock(answersMutex_);
            answers_.push_back(std::move(answer));
        }
        Wake();
    }

    // Queues a request on its lane; false when the lane's queue is full.
    bool Dispatch(Conn& c, HttpRequest request) {
        std::size_t index = cb_.Lane ? cb_.Lane(request) : 0;
        if (index >= lanes_.size()) {
            index = 0;
        }
        Lane& lane = *lanes_[index];
        bool notice = false;
        std::size_t times = 0;
        {
            const std::lock_guard lock(lane.mutex);
            const std::size_t workers = lane.threads.size();
            if (lane.config.MaxQueued != 0 && lane.queue.size() >= lane.config.MaxQueued) {
                return false;
            }
            if (lane.busy + lane.queue.size() >= workers && !lane.busyNoticed) {
                lane.busyNoticed = true;
                ++lane.busyTimes;
                const auto now = Clock::now();
                if (lane.lastNotice == Clock::time_point() ||
                    now - lane.lastNotice >= BUSY_NOTICE_INTERVAL) {
                    notice = true;
                    times = lane.busyTimes;
                    lane.busyTimes = 0;
                    lane.lastNotice = now;
                }
            }
            lane.queue.push_back({c.id, std::move(request)});
        }
        lane.ready.notify_one();
        if (notice) {
            Notice("all " + std::to_string(lane.threads.size()) + " " + lane.config.Name +
                   " workers busy; requests wait their turn" +
                   (times > 1 ? " (" + std::to_string(times) + " times since the last such line)"
                              : std::string()));
        }
        return true;
    }

    // ---- the watching thread ----

    void Loop() {
        std::vector<epoll_event> events(256);
        auto nextScan = Clock::now() + SCAN_INTERVAL;
        auto stopBy = Clock::time_point::max();
        for (;;) {
            if (stopping_ && stopBy == Clock::time_point::max()) {
                stopBy = BeginStop();
            }
            if (stopping_ && (conns_.empty() || Clock::now() > stopBy)) {
                break;
            }
            const int n = epoll_wait(epoll_.Get(), events.data(), static_cast<int>(events.size()),
                                     static_cast<int>(SCAN_INTERVAL.count()));
            for (int i = 0; i < n; ++i) {
                const std::uint64_t id = events[static_cast<std::size_t>(i)].data.u64;
                const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
                if (id == LISTENER_ID) {
                    Accept();
                } else if (id == WAKE_ID) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const auto r = read(wake_.Get(), &count, sizeof count);
                    TakeAnswers();
                } else if (auto it = conns_.find(id); it != conns_.end()) {
                    OnReady(it->second, what);
                }
            }
            if (Clock::now() >= nextScan) {
                ScanDeadlines();
                nextScan = Clock::now() + SCAN_INTERVAL;
            }
        }
        conns_.clear();
    }

    // No more connections or requests; what is under way may finish.
    Clock::time_point BeginStop() {
        epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, listener_.Get(), nullptr);
        listener_.Reset();
        std::vector<std::uint64_t> idle;
        for (auto& [id, c] : conns_) {
            if (c.phase == Phase::Reading || c.phase == Phase::Draining) {
                idle.push_back(id);
            } else {
                c.closeAfterWrite = true;
            }
        }
        for (const auto id : idle) {
            Close(id);
        }
        return Clock::now() + options_.WriteTimeLimit;
    }

    void Accept() {
        for (;;) {
            Fd fd(accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (fd.Get() < 0) {
                return;  // EAGAIN, or out of handles: the next readiness retries
            }
            if (conns_.size() >= options_.MaxConnections) {
                RefuseConnection(fd.Get());
                continue;
            }
            if (refused_ > 0) {
                Notice("connections accepted again after " + std::to_string(refused_) + " refused");
                refused_ = 0;
            }
            const int yes = 1;
            setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            const std::uint64_t id = nextId_++;
            std::unique_ptr<TlsStream> tls;
            if (tls_) {
                try {
                    tls = tls_->Accept(fd.Get());
                } catch (const std::exception& e) {
                    Notice(e.what());
                    continue;
                }
            }
            Conn& c = conns_[id];
            c.id = id;
            c.parser = HttpRequestParser(options_.Limits);
            PeerOf(fd.Get(), c.peer, c.peerPort);
            c.fd = std::move(fd);
            c.tls = std::move(tls);
            c.handshaking = c.tls != nullptr;
            // The handshake has the time of a request.
            c.deadline =
                Clock::now() + (c.handshaking ? options_.RequestTimeLimit : options_.IdleLimit);
            Watch(c.fd.Get(), id, EPOLLIN);
            c.events = EPOLLIN;
        }
    }

    void RefuseConnection(int fd) {
        if (refused_++ == 0) {
            Notice(std::to_string(options_.MaxConnections) + " connections open: new ones are " +
                   (tls_ ? "closed" : "answered 503 and closed"));
        }
        if (tls_) {
            return;  // a plain answer means nothing to a TLS client
        }
        const std::string bytes =
            Serialize(cb_.Error(503, "too many connections open; try again later"), true);
        [[maybe_unused]] const auto n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    void OnReady(Conn& c, std::uint32_t what) {
        const std::uint64_t id = c.id;
        if (c.tls) {
            // A TLS step may wait for the other direction (a read for a
            // write): every step under way is tried again on any readiness.
            c.tlsNeeds = 0;
            if (c.handshaking && !Handshake(c)) {
                Close(id);
                return;
            }
            if (c.handshaking) {
                UpdateEvents(c);
                return;
            }
            what = (c.sent < c.out.size() ? EPOLLOUT : 0u) | EPOLLIN;
        }
        if ((what & EPOLLOUT) != 0 && !Flush(c)) {
            Close(id);
            return;
        }
        if ((what & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && c.phase == Phase::Reading) {
            if (!ReadFrom(c)) {
                Close(id);
                return;
            }
        }
        if ((what & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && c.phase == Phase::Draining) {
            char buf[READ_CHUNK];
            ssize_t n = 0;
            std::size_t total = 0;
            // What comes now is dropped, TLS records too, undecrypted.
            while (total < MAX_READ_PER_WAKE && (n = recv(c.fd.Get(), buf, sizeof buf, 0)) > 0) {
                total += static_cast<std::size_t>(n);
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                Close(id);
                return;
            }
        }
        if (auto it = conns_.find(id); it != conns_.end()) {
            UpdateEvents(it->second);
        }
    }

    // false: the handshake failed, and the connection is to be closed.
    bool Handshake(Conn& c) {
        switch (c.tls->Handshake()) {
            case TlsIo::Done:
                c.handshaking = false;
                c.deadline = Clock::now() + options_.IdleLimit;
                return true;
            case TlsIo::WantRead:
                c.tlsNeeds = EPOLLIN;
                return true;
            case TlsIo::WantWrite:
                c.tlsNeeds = EPOLLOUT;
                return true;
            case TlsIo::Closed:
            case TlsIo::Failed:
                break;
        }
        const std::string& why = c.tls->Error();
        Notice("TLS handshake with " + c.peer + ":" + std::to_string(c.peerPort) + " failed" +
               (why.empty() ? std::string() : ": " + why));
        return false;
    }

    Io Outcome(Conn& c, TlsIo io) {
        switch (io) {
            case TlsIo::Done:
                return Io::Ok;
            case TlsIo::WantRead:
                c.tlsNeeds |= EPOLLIN;
                return Io::Again;
            case TlsIo::WantWrite:
                c.tlsNeeds |= EPOLLOUT;
                return Io::Again;
            case TlsIo::Closed:
            case TlsIo::Failed:
                break;
        }
        return Io::Ended;
    }

    static Io Plain(ssize_t rc, std::size_t& n) {
        if (rc > 0) {
            n = static_cast<std::size_t>(rc);
            return Io::Ok;
        }
        if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return Io::Again;
        }
        return Io::Ended;
    }

    Io Receive(Conn& c, char* buf, std::size_t size, std::size_t& n) {
        if (c.tls) {
            return Outcome(c, c.tls->Read(buf, size, n));
        }
        return Plain(recv(c.fd.Get(), buf, size, 0), n);
    }

    Io Transmit(Conn& c, const char* data, std::size_t size, std::size_t& n) {
        if (c.tls) {
            return Outcome(c, c.tls->Write(data, size, n));
        }
        return Plain(send(c.fd.Get(), data, size, MSG_NOSIGNAL), n);
    }

    bool Buffered(const Conn& c) const { return c.tls && c.tls->Buffered(); }

    // false: the connection is to be closed.
    bool ReadFrom(Conn& c) {
        char buf[READ_CHUNK];
        std::size_t total = 0;
        // What TLS holds decrypted is taken past the share: no readiness
        // would come for it.
        while (c.phase == Phase::Reading && (total < MAX_READ_PER_WAKE || Buffered(c))) {
            std::size_t n = 0;
            if (const Io io = Receive(c, buf, sizeof buf, n); io != Io::Ok) {
                return io == Io::Again;
            }
            total += n;
            c.pending.append(buf, n);
            Parse(c);
        }
        // For the request after this one, at most a record.
        for (std::size_t n = 0; Buffered(c) && Receive(c, buf, sizeof buf, n) == Io::Ok;) {
            c.pending.append(buf, n);
        }
        return true;
    }

    // Feeds what is pending to the parser and acts on a complete request.
    void Parse(Conn& c) {
        if (c.phase != Phase::Reading || c.pending.empty()) {
            return;
        }
        const std::size_t used = c.parser.Feed(c.pending);
        c.pending.erase(0, used);
        if (c.parser.Started() && !c.requestTimed) {
            c.requestTimed = true;
            c.deadline = Clock::now() + options_.RequestTimeLimit;
        }
        if (c.parser.Failed()) {
            c.pending.clear();
            HttpRequest about;
            about.Method = c.parser.Partial().Method;
            about.Path = c.parser.Partial().Path;
            Refuse(c, c.parser.ErrorStatus(), c.parser.ErrorReason(), &about);
            return;
        }
        if (c.parser.WantsContinue() && !c.continueSent && !c.parser.Done()) {
            c.continueSent = true;
            c.out += CONTINUE;
        }
        if (!c.parser.Done()) {
            return;
        }
        HttpRequest request = c.parser.Take();
        request.RemoteAddress = c.peer;
        request.RemotePort = c.peerPort;
        c.phase = Phase::Working;
        if (stopping_) {
            request.KeepAlive = false;
        }
        HttpRequest copy;
        copy.Method = request.Method;
        copy.Path = request.Path;
        copy.RemoteAddress = c.peer;
        copy.RemotePort = c.peerPort;
        if (cb_.Allowed && !cb_.Allowed(request)) {
            c.phase = Phase::Reading;
            Refuse(c, 401, "access key refused", &copy);
            return;
        }
        if (!Dispatch(c, std::move(request))) {
            c.phase = Phase::Reading;
            Refuse(c, 503, "too many requests of this kind waiting; try again later", &copy);
        }
    }

    // Answers the server's own refusal and closes after it.
    void Refuse(Conn& c, int status, const std::string& reason,
                const HttpRequest* about = nullptr) {
        HttpRequest request;
        if (about != nullptr) {
            request = *about;
        }
        request.RemoteAddress = c.peer;
        request.RemotePort = c.peerPort;
        const HttpResponse response = cb_.Error(status, reason);
        if (cb_.OnAnswer) {
            cb_.OnAnswer(request, response, std::chrono::microseconds(0));
        }
        StartWriting(c, Serialize(response, true), true);
    }

    void StartWriting(Conn& c, std::string bytes, bool close) {
        c.out += bytes;
        c.phase = Phase::Writing;
        c.closeAfterWrite = c.closeAfterWrite || close;
        c.deadline = Clock::now() + options_.WriteTimeLimit;
    }

    // false: the connection is to be closed.
    bool Flush(Conn& c) {
        while (c.sent < c.out.size()) {
            std::size_t n = 0;
            if (const Io io = Transmit(c, c.out.data() + c.sent, c.out.size() - c.sent, n);
                io != Io::Ok) {
                return io == Io::Again;
            }
            c.sent += n;
        }
        c.out.clear();
        c.sent = 0;
        if (c.phase != Phase::Writing) {
            return true;  // a "100 Continue" went out; reading goes on
        }
        if (c.closeAfterWrite) {
            if (c.tls) {
                c.tls->Close();
            }
            shutdown(c.fd.Get(), SHUT_WR);
            if (stopping_) {
                return false;
            }
            c.phase = Phase::Draining;
            c.deadline = Clock::now() + DRAIN_TIME;
            return true;
        }
        c.phase = Phase::Reading;
        c.continueSent = false;
        c.requestTimed = false;
        c.deadline = Clock::now() + options_.IdleLimit;
        Parse(c);  // a request that came along with the last one
        return true;
    }

    void UpdateEvents(Conn& c) {
        std::uint32_t events = c.tlsNeeds;
        if (c.handshaking) {
            events = events == 0 ? EPOLLIN : events;
        } else {
            if (c.phase == Phase::Reading || c.phase == Phase::Draining) {
                events |= EPOLLIN;
            }
            if (c.sent < c.out.size()) {
                events |= EPOLLOUT;
            }
        }
        if (events != c.events) {
            epoll_event ev{};
            ev.events = events;
            ev.data.u64 = c.id;
            epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, c.fd.Get(), &ev);
            c.events = events;
        }
    }

    void TakeAnswers() {
        std::vector<Answer> answers;
        {
            const std::lock_guard lock(answersMutex_);
            answers.swap(answers_);
        }
        for (auto& a : answers) {
            const auto it = conns_.find(a.conn);
            if (it == conns_.end()) {
                continue;  // the client left while its request was served
            }
            Conn& c = it->second;
            StartWriting(c, std::move(a.bytes), a.close);
            if (!Flush(c)) {
                Close(a.conn);
                continue;
            }
            UpdateEvents(c);
        }
    }

    void ScanDeadlines() {
        const auto now = Clock::now();
        std::vector<std::uint64_t> expired;
        for (auto& [id, c] : conns_) {
            if (c.phase == Phase::Working || now < c.deadline) {
                continue;
            }
            if (c.phase == Phase::Reading && c.parser.Started()) {
                Refuse(c, 408,
                       "the request did not come whole within " +
                           std::to_string(options_.RequestTimeLimit.count()) + " ms");
                if (Flush(c)) {
                    UpdateEvents(c);
                    continue;
                }
            }
            expired.push_back(id);
        }
        for (const auto id : expired) {
            Close(id);
        }
    }

    void Close(std::uint64_t id) {
        const auto it = conns_.find(id);
        if (it == conns_.end()) {
            return;
        }
        epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, it->second.fd.Get(), nullptr);
        conns_.erase(it);
    }

    HttpServerOptions options_;
    Callbacks cb_;
    std::unique_ptr<TlsContext> tls_;
    Fd listener_;
    Fd epoll_;
    Fd wake_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::unordered_map<std::uint64_t, Conn> conns_;
    std::uint64_t nextId_ = WAKE_ID + 1;
    std::size_t refused_ = 0;
    std::vector<std::unique_ptr<Lane>> lanes_;
    std::mutex answersMutex_;
    std::vector<Answer> answers_;
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
