#include "net/ServerClientWinSocket.h"

#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <exception>
#include <utility>

#include "net/Readiness.h"
#include "net/ServerSocket.h"
#include "net/ServerWinSocket.h"

namespace zel {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int SEND_FLAGS = MSG_NOSIGNAL;  // a gone peer is an error code, never SIGPIPE
#else
constexpr int SEND_FLAGS = 0;
#endif

// Keep-alive: a terminal that vanishes without a word (power cut, cable) is
// found out after about 90 s of silence and closed like a reset.
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 3;

void SetSocketOptions(int handle) {
    const int on = 1;
    // Each screen goes out at once, not after the terminal acknowledges the
    // one before it.
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(handle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
    setsockopt(handle, IPPROTO_TCP, TCP_KEEPIDLE, &KEEPALIVE_IDLE_S, sizeof KEEPALIVE_IDLE_S);
#elif defined(TCP_KEEPALIVE)
    setsockopt(handle, IPPROTO_TCP, TCP_KEEPALIVE, &KEEPALIVE_IDLE_S, sizeof KEEPALIVE_IDLE_S);
#endif
#ifdef TCP_KEEPINTVL
    setsockopt(handle, IPPROTO_TCP, TCP_KEEPINTVL, &KEEPALIVE_INTERVAL_S,
               sizeof KEEPALIVE_INTERVAL_S);
#endif
#ifdef TCP_KEEPCNT
    setsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, &KEEPALIVE_PROBES, sizeof KEEPALIVE_PROBES);
#endif
}

// Bytes waiting to be received; 0 when unknown.
int PendingBytes(int handle) {
    int pending = 0;
    if (ioctl(handle, FIONREAD, &pending) != 0)
        return 0;
    return pending;
}

int ToCount(ssize_t count) {
    return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

}  // namespace

TServerClientWinSocket::TServerClientWinSocket(Key, int handle, const sockaddr_in& peer,
                                               TServerWinSocket& server)
    : server_(server) {
    handle_ = handle;
    address_ = peer;
}

TServerClientWinSocket::~TServerClientWinSocket() = default;

void TServerClientWinSocket::Start() {
    AssertLoopThread();
    connected_ = true;
    SetSocketOptions(handle_);
    // The callbacks hold the connection only while they run: a released
    // connection is gone, and a late notification for it finds nothing.
    std::weak_ptr<TServerClientWinSocket> self = weak_from_this();
    readWatch_ = ReadinessWatch(handle_, ReadinessWatch::Kind::Read, [self](int socket) {
        if (auto connection = self.lock())
            connection->ReadReady(socket);
    });
    // Writable right after accept: one write event.
    writeWatch_ = ReadinessWatch(handle_, ReadinessWatch::Kind::Write, [self](int socket) {
        if (auto connection = self.lock())
            connection->WriteReady(socket);
    });
}

void TServerClientWinSocket::SetTag(std::uint64_t tag) {
    server_.Retag(*this, tag_, tag);
    tag_ = tag;
}

bool TServerClientWinSocket::PeerGone() const {
    if (handle_ == -1)
        return true;
    // One look: bytes still waiting mean the terminal is there (they are
    // read first), an end or an error that it left.
    char probe;
    const ssize_t peeked = ::recv(handle_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && !WouldBlock(errno) && errno != EINTR);
}

void TServerClientWinSocket::ReadReady(int Socket, int counted) {
    if (Socket == -1 || Socket != handle_)
        return;
    if (counted < 0 && server_.ReadingHeld()) {
        HoldBack();
        return;
    }
    const int pending = counted >= 0 ? counted : PendingBytes(Socket);
    if (pending <= 0) {
        // Readable with nothing pending: the peer is gone, or it reports an
        // error, or an earlier read already took the data.
        char probe;
        const ssize_t peeked = ::recv(Socket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked == 0) {
            Disconnect(Socket);
            return;
        }
        if (peeked < 0 && !WouldBlock(errno) && errno != EINTR) {
            // A close that carries an error (a reset): the error goes to the
            // handler first, then the connection is closed and released.
            int code = errno;
            std::exception_ptr raised;
            try {
                Error(eeDisconnect, code);
            } catch (...) {
                raised = std::current_exception();
            }
            Disconnect(Socket);
            if (raised)
                std::rethrow_exception(raised);
            if (code != 0)
                throw ESocketError(AsyncSocketErrorMessage(code));
            return;
        }
    }
    const TServerSocket* component = server_.Component();
    if (component == nullptr || !component->OnClientRead)
        return;
    received_ = false;
    pendingHint_ = pending > 0 ? pending : 0;
    std::exception_ptr raised;
    try {
        component->OnClientRead(server_, *this);
    } catch (...) {
        raised = std::current_exception();
    }
    pendingHint_ = -1;
    // A handler that did not read: no read event until it does, so it is not
    // called again and again for the same bytes.
    if (handle_ == Socket && !received_ && pending > 0) {
        awaitingReceive_ = true;
        UpdateReadWatch();
    }
    if (raised)
        std::rethrow_exception(raised);
}

void TServerClientWinSocket::HoldBack() {
    heldBack_ = true;
    UpdateReadWatch();
    const TServerSocket* component = server_.Component();
    if (component != nullptr && component->OnClientReadHeld)
        component->OnClientReadHeld(server_, *this);
}

void TServerClientWinSocket::ReadPending() {
    // Only a terminal that sent something while its reading was suspended or
    // held is asked: an idle shop's terminals cost no system call each.
    if (!connected_ || readSuspended_ || awaitingReceive_ ||
        !(std::exchange(heldBack_, false) || readWatch_.TakeMissed()))
        return;
    if (server_.ReadingHeld()) {
        HoldBack();  // a new hold began before this one's turn
        return;
    }
    UpdateReadWatch();
    const int pending = PendingBytes(handle_);
    if (pending <= 0)
        return;
    const std::shared_ptr<TServerClientWinSocket> self = shared_from_this();
    RunProtected([this, pending] { ReadReady(handle_, pending); });
}

void TServerClientWinSocket::WriteReady(int Socket) {
    if (Socket == -1 || Socket != handle_)
        return;
    if (HeldBytes() > 0 && (!Flush() || HeldBytes() > 0))
        return;
    writeWatch_.SetEnabled(false);
    Write(Socket);
}

std::string TServerClientWinSocket::TakePendingText() {
    AssertLoopThread();
    if (!connected_)
        return {};
    // Within a read event the count its notification found is still true:
    // nothing but this thread takes bytes from the socket.
    int size = pendingHint_ >= 0 ? pendingHint_ : PendingBytes(handle_);
    pendingHint_ = -1;
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    const ssize_t count = ::recv(handle_, text.data(), text.size(), 0);
    received_ = true;
    if (awaitingReceive_) {
        awaitingReceive_ = false;
        UpdateReadWatch();
    }
    if (count < 0) {
        int code = errno;
        if (!WouldBlock(code) && code != EINTR) {
            Error(eeReceive, code);
            Disconnect(handle_);
            if (code != 0)
                RaiseSocketError(code, "recv");
        }
    }
    text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return text;
}

int TServerClientWinSocket::TrySendText(const std::string& text) {
    AssertLoopThread();
    if (!connected_)
        return 0;
    // Held bytes go first: the terminal gets every frame whole and in order.
    if (HeldBytes() > 0) {
        if (!Flush())
            return -1;
        if (HeldBytes() > 0) {
            Hold(text);
            return -1;
        }
    }
    const ssize_t sent = ::send(handle_, text.data(), text.size(), SEND_FLAGS);
    if (sent >= 0) {
        if (static_cast<std::size_t>(sent) < text.size())
            Hold(std::string_view(text).substr(static_cast<std::size_t>(sent)));
        return ToCount(sent);
    }
    int code = errno;
    if (WouldBlock(code) || code == EINTR) {
        Hold(text);
        return -1;
    }
    Error(eeSend, code);
    Disconnect(handle_);
    if (code != 0)
        RaiseSocketError(code, "send");
    return -1;
}

bool TServerClientWinSocket::Flush() {
    AssertLoopThread();
    while (connected_ && HeldBytes() > 0) {
        const ssize_t sent = ::send(handle_, held_.data() + heldStart_, HeldBytes(), SEND_FLAGS);
        if (sent > 0) {
            heldStart_ += static_cast<std::size_t>(sent);
            continue;
        }
        int code = sent == 0 ? EAGAIN : errno;
        if (WouldBlock(code) || code == EINTR)
            break;
        Error(eeSend, code);
        Disconnect(handle_);
        if (code != 0)
            RaiseSocketError(code, "send");
        return false;
    }
    if (!connected_)
        return false;
    if (HeldBytes() == 0) {
        DropPendingOutput();
    } else if (heldStart_ > held_.size() / 2) {
        held_.erase(0, heldStart_);
        heldStart_ = 0;
    }
    return true;
}

void TServerClientWinSocket::Hold(std::string_view bytes) {
    if (bytes.empty())
        return;
    if (HeldBytes() + bytes.size() > MAX_HELD_BYTES) {
        // The terminal has stopped reading: close it rather than let the
        // held bytes grow without end.
        overflowed_ = true;
        Disconnect(handle_);
        return;
    }
    held_.append(bytes);
    writeWatch_.SetEnabled(true);
}

void TServerClientWinSocket::SuspendReading() {
    readSuspended_ = true;
    UpdateReadWatch();
}

void TServerClientWinSocket::ResumeReading() {
    readSuspended_ = false;
    UpdateReadWatch();
}

void TServerClientWinSocket::UpdateReadWatch() {
    readWatch_.SetEnabled(connected_ && !readSuspended_ && !awaitingReceive_ && !heldBack_);
}

void TServerClientWinSocket::DropPendingOutput() noexcept {
    held_.clear();
    held_.shrink_to_fit();
    heldStart_ = 0;
}

}  // namespace zel
