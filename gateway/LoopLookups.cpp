#include "gateway/LoopLookups.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>
#include <cerrno>
#include <optional>

#include "common/ServerNames.h"
#include "money/CodePage.h"
#include "net/Readiness.h"
#include "server/HttpReply.h"
#include "server/TcpConnect.h"
#include "server/WireFormat.h"

namespace zel {

namespace {

// After a connect that failed, the pool alone serves for this long.
constexpr std::chrono::seconds RETRY_AFTER{1};
// An answer of BuscaPrecio is a few hundred bytes.
constexpr std::size_t MAX_REPLY_BYTES = 64u << 10;
constexpr std::size_t READ_CHUNK = 4096;

struct DeleteLater {
    void operator()(QTimer* timer) const noexcept {
        timer->stop();
        timer->disconnect();
        timer->deleteLater();  // it may be the one whose timeout is running
    }
};

// The server's address as the system takes it; empty for a host name.
std::optional<sockaddr_storage> NumericAddress(const ServerAddress& address, socklen_t& length) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.Host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(address.Port);
        length = sizeof *v4;
        return storage;
    }
    if (inet_pton(AF_INET6, address.Host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(address.Port);
        length = sizeof *v6;
        return storage;
    }
    return std::nullopt;
}

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

struct LoopLookups::Link {
    UniqueFd Socket;
    ReadinessWatch Watch;
    std::unique_ptr<QTimer, DeleteLater> Deadline{new QTimer};
    bool Connecting = true;
    bool Busy = false;
    std::uint64_t Ticket = 0;
    LookupRequest Request;  // kept to be sent again through the pool
    HttpReplyReader Reader{MAX_REPLY_BYTES};
};

std::unique_ptr<LoopLookups> LoopLookups::For(const std::vector<ServerLocation>& locations,
                                              ClientCredentials credentials,
                                              std::chrono::milliseconds limit, int connections,
                                              LookupPool& pool, Done done) {
    socklen_t length = 0;
    if (locations.size() != 1 || locations.front().Https ||
        !NumericAddress(locations.front().Address, length)) {
        return nullptr;
    }
    return std::unique_ptr<LoopLookups>(new LoopLookups(locations.front(), std::move(credentials),
                                                        limit, connections, pool, std::move(done)));
}

LoopLookups::LoopLookups(ServerLocation location, ClientCredentials credentials,
                         std::chrono::milliseconds limit, int connections, LookupPool& pool,
                         Done done)
    : location_(std::move(location)),
      credentials_(std::move(credentials)),
      limit_(limit),
      connections_(connections < 1 ? 1 : static_cast<std::size_t>(connections)),
      pool_(pool),
      done_(std::move(done)) {}

LoopLookups::~LoopLookups() = default;

void LoopLookups::Submit(std::uint64_t ticket, LookupRequest request) {
    std::size_t busy = 0;
    Link* idle = nullptr;
    for (const auto& link : links_) {
        busy += link->Busy ? 1 : 0;
        if (!link->Busy && !link->Connecting) {
            idle = link.get();
        }
    }
    // The limit counts both ways of looking up; past it the pool's queue
    // keeps the order of arrival.
    const bool room = busy + pool_.Pending() < connections_;
    if (room && idle && Send(*idle, ticket, request)) {
        return;
    }
    pool_.Submit(ticket, std::move(request));
    if (room && !idle && links_.size() < connections_ &&
        std::chrono::steady_clock::now() >= retryAt_) {
        Open();
    }
}

bool LoopLookups::Send(Link& link, std::uint64_t ticket, LookupRequest& request) {
    BuscaPrecioCall call;
    call.Codigo = request.Codigo;
    call.No_Precio = request.No_Precio;
    call.Descrip = Utf16ToUtf8(request.Descrip);
    call.Mult = 1.0;
    std::string text;
    try {
        text = PostRequestText(BUSCA_PRECIO_PATH, location_.Address.ToString(),
                               EncodeBuscaPrecioRequest(call), credentials_.AccessKey);
    } catch (const WireError&) {
        return false;  // the pool's client words it
    }
    const ssize_t sent =
        ::send(link.Socket.Get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != static_cast<ssize_t>(text.size())) {
        // A request of a few hundred bytes that the system does not take
        // whole: the connection is not worth keeping.
        Drop(link, false);
        return false;
    }
    link.Busy = true;
    link.Ticket = ticket;
    link.Request = std::move(request);
    link.Reader = HttpReplyReader(MAX_REPLY_BYTES);
    link.Deadline->start(limit_);
    return true;
}

void LoopLookups::Open() {
    socklen_t length = 0;
    const auto address = NumericAddress(location_.Address, length);
    UniqueFd socket(
        ::socket(address->ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (socket.Get() < 0) {
        retryAt_ = std::chrono::steady_clock::now() + RETRY_AFTER;
        return;
    }
    const int on = 1;
    ::setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int started =
        ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&*address), length);
    if (started != 0 && errno != EINPROGRESS) {
        retryAt_ = std::chrono::steady_clock::now() + RETRY_AFTER;
        return;
    }
    auto link = std::make_unique<Link>();
    Link* raw = link.get();
    link->Socket = std::move(socket);
    link->Deadline->setSingleShot(true);
    QObject::connect(link->Deadline.get(), &QTimer::timeout, [this, raw] { Expired(*raw); });
    link->Watch = ReadinessWatch(link->Socket.Get(), ReadinessWatch::Kind::Write,
                                 [this, raw](int) { Connected(*raw); });
    link->Deadline->start(limit_);
    links_.push_back(std::move(link));
}

void LoopLookups::Connected(Link& link) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(link.Socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        retryAt_ = std::chrono::steady_clock::now() + RETRY_AFTER;
        Drop(link, false);
        return;
    }
    link.Connecting = false;
    link.Deadline->stop();
    // Watched while idle too: a server that closes it is noticed at once.
    link.Watch = ReadinessWatch(link.Socket.Get(), ReadinessWatch::Kind::Read,
                                [this, &link](int) { Readable(link); });
}

void LoopLookups::Readable(Link& link) {
    char chunk[READ_CHUNK];
    for (;;) {
        const ssize_t count = ::recv(link.Socket.Get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;  // the rest is still on its way
        }
        if (count <= 0 || !link.Busy) {
            // Closed or reset, or bytes nobody asked for.
            Drop(link, true);
            return;
        }
        if (link.Reader.Feed(std::string_view(chunk, static_cast<std::size_t>(count))) ==
            HttpReplyReader::State::Incomplete) {
            continue;
        }
        const HttpReplyReader& reader = link.Reader;
        if (reader.Current() == HttpReplyReader::State::Refused || reader.Status() < 200 ||
            reader.Status() >= 300) {
            Drop(link, true);
            return;
        }
        LookupAnswer answer;
        try {
            answer = OutcomeOf(DecodeBuscaPrecioReply(reader.Body()));
        } catch (const WireError&) {
            Drop(link, true);
            return;
        }
        const std::uint64_t ticket = link.Ticket;
        link.Busy = false;
        link.Deadline->stop();
        link.Request = {};
        if (!reader.KeepAlive()) {
            Drop(link, false);
        }
        done_(ticket, std::move(answer));  // last: it may submit the next lookup
        return;
    }
}

void LoopLookups::Expired(Link& link) {
    if (link.Connecting) {
        retryAt_ = std::chrono::steady_clock::now() + RETRY_AFTER;
        Drop(link, false);
        return;
    }
    const std::uint64_t ticket = link.Ticket;
    const bool busy = link.Busy;
    Drop(link, false);
    if (busy) {
        done_(ticket, LookupFailure{CallFailureText(SERVER_CLASS, location_, "BuscaPrecio",
                                                    NoAnswerText(limit_))});
    }
}

void LoopLookups::Drop(Link& link, bool toPool) {
    const bool resend = toPool && link.Busy;
    const std::uint64_t ticket = link.Ticket;
    LookupRequest request = std::move(link.Request);
    std::erase_if(links_, [&link](const std::unique_ptr<Link>& l) { return l.get() == &link; });
    if (resend) {
        pool_.Submit(ticket, std::move(request));
    }
}

}  // namespace zel
