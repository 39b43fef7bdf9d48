#include "gateway/LookupClient.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "common/ServerNames.h"
#include "money/CodePage.h"
#include "server/WireFormat.h"

namespace zel {

namespace {

constexpr std::string_view LOOKUP = "BuscaPrecio";
constexpr std::string_view CHECK = "create";
// A server that closes every idle connection at once is not given a new one
// more often than this.
constexpr std::chrono::seconds REWARM_SPACING{1};
// The idle check is looked at this many times per its period.
constexpr int IDLE_TICKS = 4;

LookupOutcome OutcomeOf(const BuscaPrecioCall& reply) {
    LookupOutcome outcome;
    outcome.Result = reply.Result;
    outcome.Precio = reply.Precio;
    outcome.Descrip = Utf8ToUtf16(reply.Descrip);
    outcome.Ban_Imps = reply.Ban_Imps;
    outcome.Imps_Act = reply.Imps_Act;
    return outcome;
}

}  // namespace

struct LookupClient::Transfer {
    HttpExchange Exchange;
    bool Check = false;
    bool Fresh = false;  // on a connection of its own
    std::uint64_t Ticket = 0;
    std::string Body;
    std::vector<std::size_t> Order;  // the addresses to try
    std::size_t Turn = 0;
};

struct LookupClient::Callbacks {
    static int Socket(CURL* /*easy*/, curl_socket_t fd, int what, void* self, void* /*data*/) {
        static_cast<LookupClient*>(self)->Watch(fd, what);
        return 0;
    }
    static int Timer(CURLM* /*multi*/, long milliseconds, void* self) {
        QTimer& timer = *static_cast<LookupClient*>(self)->curlTimer_;
        if (milliseconds < 0) {
            timer.stop();
        } else {
            timer.start(static_cast<int>(std::min<long>(milliseconds, INT32_MAX)));
        }
        return 0;
    }
    static curl_socket_t Open(void* self, curlsocktype /*purpose*/, curl_sockaddr* address) {
        const int fd =
            ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd < 0) {
            return CURL_SOCKET_BAD;
        }
        static_cast<LookupClient*>(self)->Opened(fd);
        return fd;
    }
    static int Close(void* self, curl_socket_t fd) {
        static_cast<LookupClient*>(self)->Closed(fd);
        return ::close(fd);
    }
};

LookupClient::LookupClient(std::vector<ServerLocation> locations, ClientCredentials credentials,
                           std::chrono::milliseconds limit, int connections, Done done,
                           Tuning tuning)
    : locations_(std::move(locations)),
      credentials_(std::move(credentials)),
      limit_(limit),
      connections_(connections < 1 ? 1 : static_cast<std::size_t>(connections)),
      done_(std::move(done)),
      tuning_(tuning),
      health_(locations_.size(), WallClock::now()),
      classPath_(std::string(CLASSES_PATH) + PercentEncode(SERVER_CLASS)),
      context_(std::make_unique<QObject>()),
      lastActivity_(std::chrono::steady_clock::now()) {
    if (locations_.empty()) {
        throw ServerError(std::string(SERVER_CLASS) + ": no server address");
    }
    HttpExchange::Initialise();
    multi_ = curl_multi_init();
    if (multi_ == nullptr) {
        throw ServerError("HTTP client: out of memory");
    }
    const auto most = static_cast<long>(connections_);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &Callbacks::Socket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &Callbacks::Timer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, most);
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, most);
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING));

    curlTimer_ = new QTimer(context_.get());
    curlTimer_->setSingleShot(true);
    curlTimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(curlTimer_, &QTimer::timeout, context_.get(),
                     [this] { Act(CURL_SOCKET_TIMEOUT, 0); });
    idleTimer_ = new QTimer(context_.get());
    QObject::connect(idleTimer_, &QTimer::timeout, context_.get(), [this] { IdleTick(); });
    idleTimer_->start(std::max<std::chrono::milliseconds>(tuning_.IdleCheck / IDLE_TICKS,
                                                          std::chrono::milliseconds(1)));
    rewarmTimer_ = new QTimer(context_.get());
    rewarmTimer_->setSingleShot(true);
    QObject::connect(rewarmTimer_, &QTimer::timeout, context_.get(), [this] { Rewarm(); });
}

LookupClient::~LookupClient() {
    for (const auto& [handle, transfer] : active_) {
        curl_multi_remove_handle(multi_, handle);
    }
    curl_multi_cleanup(multi_);  // closes the kept connections
    active_.clear();
    spare_.clear();
    sockets_.clear();
    context_.reset();
}

std::unique_ptr<LookupClient::Transfer> LookupClient::NewTransfer() {
    if (!spare_.empty()) {
        std::unique_ptr<Transfer> transfer = std::move(spare_.back());
        spare_.pop_back();
        transfer->Turn = 0;
        return transfer;
    }
    auto transfer = std::make_unique<Transfer>();
    CURL* handle = transfer->Exchange.Handle();
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, &Callbacks::Open);
    curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, &Callbacks::Close);
    curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, this);
    return transfer;
}

std::size_t LookupClient::WarmWanted() const {
    return tuning_.WarmConnections <= 0
               ? connections_
               : std::min(static_cast<std::size_t>(tuning_.WarmConnections), connections_);
}

void LookupClient::Warm(std::function<void()> warmed) {
    warmed_ = std::move(warmed);
    for (std::size_t i = 0; i < WarmWanted(); ++i) {
        StartCheck(health_.Order(), true);
    }
}

void LookupClient::Submit(std::uint64_t ticket, LookupRequest request) {
    lastActivity_ = std::chrono::steady_clock::now();
    if (lookups_ >= connections_) {
        queue_.push_back({ticket, std::move(request)});
        return;
    }
    StartLookup(ticket, request);
}

void LookupClient::StartLookup(std::uint64_t ticket, const LookupRequest& request) {
    BuscaPrecioCall call;
    call.Codigo = request.Codigo;
    call.No_Precio = request.No_Precio;
    call.Descrip = Utf16ToUtf8(request.Descrip);
    call.Mult = 1.0;
    auto transfer = NewTransfer();
    try {
        transfer->Body = EncodeBuscaPrecioRequest(call);
    } catch (const WireError& error) {
        // Answered from the loop, never from inside the caller's own call.
        LookupFailure failure{CallFailureText(SERVER_CLASS, locations_.front(), LOOKUP,
                                              std::string("request: ") + error.what())};
        QMetaObject::invokeMethod(
            context_.get(),
            [this, ticket, failure = std::move(failure)] { done_(ticket, failure); },
            Qt::QueuedConnection);
        spare_.push_back(std::move(transfer));
        return;
    }
    transfer->Check = false;
    transfer->Fresh = false;
    transfer->Ticket = ticket;
    transfer->Order = health_.Order();
    ++lookups_;
    Start(std::move(transfer));
}

void LookupClient::StartCheck(std::vector<std::size_t> order, bool fresh) {
    auto transfer = NewTransfer();
    transfer->Check = true;
    transfer->Fresh = fresh;
    transfer->Order = std::move(order);
    ++checks_;
    warming_ += fresh ? 1 : 0;
    Start(std::move(transfer));
}

void LookupClient::Start(std::unique_ptr<Transfer> transfer) {
    Transfer& t = *transfer;
    const ServerLocation& at = locations_[t.Order[t.Turn]];
    if (t.Check) {
        t.Exchange.Prepare(at, credentials_, classPath_, false, {}, limit_, limit_);
    } else {
        t.Exchange.Prepare(at, credentials_, BUSCA_PRECIO_PATH, true, t.Body, limit_, limit_);
    }
    CURL* handle = t.Exchange.Handle();
    curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, t.Fresh ? 1L : 0L);
    active_.emplace(handle, std::move(transfer));
    if (curl_multi_add_handle(multi_, handle) != CURLM_OK) {
        // Only when out of memory: it ends like a failed transfer, from the loop.
        QMetaObject::invokeMethod(
            context_.get(),
            [this, handle] {
                if (auto node = active_.extract(handle); !node.empty()) {
                    Finish(std::move(node.mapped()), CURLE_OUT_OF_MEMORY);
                }
            },
            Qt::QueuedConnection);
    }
}

void LookupClient::Act(int fd, int events) {
    int running = 0;
    curl_multi_socket_action(multi_, fd, events, &running);
    Reap();
}

void LookupClient::Reap() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* handle = message->easy_handle;
        const CURLcode code = message->data.result;
        curl_multi_remove_handle(multi_, handle);
        if (auto node = active_.extract(handle); !node.empty()) {
            Finish(std::move(node.mapped()), code);
        }
    }
}

void LookupClient::Finish(std::unique_ptr<Transfer> transfer, int code) {
    Transfer& t = *transfer;
    const std::size_t address = t.Order[t.Turn];
    const std::string_view operation = t.Check ? CHECK : LOOKUP;
    HttpExchange::Ending ending = t.Exchange.Conclude(code);
    if (t.Check && ending.Answered) {
        // Only the class asked for is an answer of the server.
        try {
            if (DecodeClassReply(t.Exchange.Body()) != SERVER_CLASS) {
                ending = {false, ServerFailure::BadAnswer, "the server offers another class"};
            }
        } catch (const WireError& error) {
            ending = {
                false, ServerFailure::BadAnswer,
                std::string("not a ") + std::string(SERVER_CLASS) + " server: " + error.what()};
        }
    }
    const bool reached =
        ending.Answered || (!t.Check && (ending.Kind == ServerFailure::HttpStatus ||
                                         ending.Kind == ServerFailure::BadAnswer));
    const std::string words =
        reached ? std::string()
                : CallFailureText(SERVER_CLASS, locations_[address], operation, ending.What);
    const bool changed = reached ? health_.Answered(address, WallClock::now())
                                 : health_.Unreachable(address, words, WallClock::now());
    if (changed) {
        Journal(address);
    }
    if (!reached && ending.NextAddress && t.Turn + 1 < t.Order.size()) {
        ++t.Turn;
        Start(std::move(transfer));
        return;
    }

    if (t.Check) {
        --checks_;
        warming_ -= t.Fresh ? 1 : 0;
        spare_.push_back(std::move(transfer));
        if (warming_ == 0 && warmed_) {
            std::exchange(warmed_, nullptr)();
        }
        return;
    }
    LookupAnswer answer;
    if (ending.Answered) {
        pricesAsOf_ = t.Exchange.Header(CATALOGUE_AS_OF_HEADER);
        try {
            answer = OutcomeOf(DecodeBuscaPrecioReply(t.Exchange.Body()));
        } catch (const WireError& error) {
            answer = LookupFailure{CallFailureText(SERVER_CLASS, locations_[address], LOOKUP,
                                                   std::string("answer: ") + error.what()),
                                   ServerFailure::BadAnswer};
        }
    } else if (reached) {
        answer = LookupFailure{
            CallFailureText(SERVER_CLASS, locations_[address], LOOKUP, ending.What), ending.Kind};
    } else {
        answer = LookupFailure{words, ending.Kind};
    }
    const std::uint64_t ticket = t.Ticket;
    spare_.push_back(std::move(transfer));
    --lookups_;
    while (lookups_ < connections_ && !queue_.empty()) {
        Queued next = std::move(queue_.front());
        queue_.pop_front();
        StartLookup(next.Ticket, next.Request);
    }
    done_(ticket, std::move(answer));  // last: it may submit the next lookup
}

void LookupClient::Watch(int fd, int what) {
    if (what == CURL_POLL_REMOVE) {
        const auto found = sockets_.find(fd);
        if (found == sockets_.end()) {
            return;
        }
        Watches& w = found->second;
        if (!w.Own) {
            sockets_.erase(found);
            return;
        }
        w.CurlIn = false;
        w.Out.SetEnabled(false);
        if (!w.Connected) {
            // A connect that failed: libcurl is about to close it.
            w.In.SetEnabled(false);
            return;
        }
        // Back among the kept connections: watched for the server closing it.
        if (!w.In.Watching()) {
            w.In = ReadinessWatch(fd, ReadinessWatch::Kind::Read, [this](int h) { Readable(h); });
        }
        w.In.SetEnabled(!w.Gone);
        return;
    }
    Watches& w = sockets_[fd];
    const bool in = (what & CURL_POLL_IN) != 0;
    const bool out = (what & CURL_POLL_OUT) != 0;
    w.CurlIn = in;
    // libcurl waits to read only on an established connection; a connect in
    // progress is waited for as writable.
    w.Connected = w.Connected || in;
    if (in && !w.In.Watching()) {
        w.In = ReadinessWatch(fd, ReadinessWatch::Kind::Read, [this](int h) { Readable(h); });
    }
    w.In.SetEnabled(in);
    if (out && !w.Out.Watching()) {
        w.Out = ReadinessWatch(fd, ReadinessWatch::Kind::Write,
                               [this](int h) { Act(h, CURL_CSELECT_OUT); });
    }
    w.Out.SetEnabled(out);
}

void LookupClient::Readable(int fd) {
    const auto found = sockets_.find(fd);
    if (found == sockets_.end()) {
        return;
    }
    if (found->second.CurlIn) {
        Act(fd, CURL_CSELECT_IN);
    } else {
        IdleClosed(found->second, fd);
    }
}

void LookupClient::IdleClosed(Watches& w, int fd) {
    // An idle kept-alive connection the server closed: its end is taken now
    // (libcurl closes the handle when it next looks at it) and another opened.
    w.Gone = true;
    w.In.SetEnabled(false);
    ::shutdown(fd, SHUT_RDWR);
    Rewarm();
}

void LookupClient::Rewarm() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastRewarm_ < REWARM_SPACING) {
        if (!rewarmTimer_->isActive()) {
            rewarmTimer_->start(std::chrono::duration_cast<std::chrono::milliseconds>(
                REWARM_SPACING - (now - lastRewarm_)));
        }
        return;
    }
    lastRewarm_ = now;
    std::size_t open = warming_;
    for (const auto& [fd, w] : sockets_) {
        open += w.Own && !w.Gone ? 1 : 0;
    }
    for (const std::size_t wanted = WarmWanted(); open < wanted; ++open) {
        StartCheck(health_.Order(), true);
    }
}

void LookupClient::Opened(int fd) {
    Watches& w = sockets_[fd];
    w = Watches{};
    w.Own = true;
}

void LookupClient::Closed(int fd) {
    sockets_.erase(fd);
}

void LookupClient::IdleTick() {
    const auto now = std::chrono::steady_clock::now();
    if (lookups_ > 0 || !queue_.empty() || checks_ > 0 || now - lastActivity_ < tuning_.IdleCheck) {
        return;
    }
    lastActivity_ = now;
    for (std::size_t i = 0; i < locations_.size(); ++i) {
        StartCheck({i}, false);
    }
}

void LookupClient::Journal(std::size_t address) {
    const ServerHealth& health = health_.Health();
    if (health.Now == ServerHealth::Down) {
        std::fprintf(stderr, "The server does not answer: %s\n", health.LastError.c_str());
        announcedDown_ = true;
    } else if (health.Now == ServerHealth::Up && announcedDown_) {
        std::fprintf(stderr, "The server answers again: %.*s at %s\n",
                     static_cast<int>(SERVER_CLASS.size()), SERVER_CLASS.data(),
                     locations_[address].ToString().c_str());
        announcedDown_ = false;
    }
}

}  // namespace zel
