#include "net/ServerWinSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QMetaObject>
#include <QObject>
#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>

namespace zel {
namespace {

int NewStreamSocket() {
#ifdef SOCK_NONBLOCK
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#else
    int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle != -1) {
        fcntl(handle, F_SETFL, fcntl(handle, F_GETFL) | O_NONBLOCK);
        fcntl(handle, F_SETFD, FD_CLOEXEC);
    }
    return handle;
#endif
}

int AcceptOne(int listener, sockaddr_in& peer) {
    socklen_t length = sizeof peer;
    auto* address = reinterpret_cast<sockaddr*>(&peer);
#ifdef SOCK_NONBLOCK
    return ::accept4(listener, address, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    int handle = ::accept(listener, address, &length);
    if (handle != -1) {
        fcntl(handle, F_SETFL, fcntl(handle, F_GETFL) | O_NONBLOCK);
        fcntl(handle, F_SETFD, FD_CLOEXEC);
    }
    return handle;
#endif
}

}  // namespace

TServerWinSocket::TServerWinSocket()
    : releaseContext_(std::make_unique<QObject>()), backoff_("", [this] { UpdateAcceptWatch(); }) {}

TServerWinSocket::~TServerWinSocket() {
    ReleaseAll();
    CloseQuietly();
}

void TServerWinSocket::Listen(std::uint16_t port) {
    AssertLoopThread();
    if (handle_ != -1)
        return;
    if (QAbstractEventDispatcher::instance() == nullptr)
        throw ESocketError("The listener needs a Qt event loop (QCoreApplication) on its thread");
    const int handle = NewStreamSocket();
    if (handle == -1)
        throw ESocketError(std::string(CANT_CREATE_SOCKET));
    handle_ = handle;
    try {
        Event(TSocketEvent::seLookup);
        address_ = sockaddr_in{};
        address_.sin_family = AF_INET;
        address_.sin_addr.s_addr = htonl(INADDR_ANY);
        address_.sin_port = htons(port);
        // A restarted gateway binds at once, whatever connections of its
        // previous run are still winding down; a live listener still blocks.
        const int on = 1;
        setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(handle, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0)
            throw ESocketError(SocketErrorMessage(errno, "bind") + ", port " +
                               std::to_string(port));  // the port taken or refused
        readWatch_ = ReadinessWatch(handle, ReadinessWatch::Kind::Read,
                                    [this](int socket) { Accept(socket); });
        accepting_ = true;
        Event(TSocketEvent::seListen);
        if (::listen(handle, LISTEN_BACKLOG) != 0)
            RaiseSocketError(errno, "listen");
        connected_ = true;
    } catch (...) {
        try {
            Disconnect(handle_);
        } catch (...) {
            // The first error is the one the caller needs.
        }
        throw;
    }
}

std::uint16_t TServerWinSocket::LocalPort() const {
    if (handle_ == -1)
        return 0;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(handle_, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return 0;
    return ntohs(bound.sin_port);
}

void TServerWinSocket::SetAccepting(bool accepting) {
    if (!readWatch_.Watching())
        return;
    accepting_ = accepting;
    UpdateAcceptWatch();
}

void TServerWinSocket::UpdateAcceptWatch() {
    if (readWatch_.Watching())
        readWatch_.SetEnabled(accepting_ && !backoff_.Pausing());
}

int TServerWinSocket::ActiveConnections() const {
    AssertLoopThread();
    return static_cast<int>(connections_.size());
}

TServerClientWinSocket& TServerWinSocket::Connections(int index) const {
    AssertLoopThread();
    if (index < 0 || static_cast<std::size_t>(index) >= connections_.size())
        throw std::out_of_range("connection index " + std::to_string(index) + " is outside 0.." +
                                std::to_string(connections_.size()) + "-1");
    return *connections_[static_cast<std::size_t>(index)];
}

TServerClientWinSocket* TServerWinSocket::FindByTag(std::uint64_t tag) const {
    const auto found = tagged_.find(tag);
    return found == tagged_.end() ? nullptr : found->second;
}

void TServerWinSocket::Retag(TServerClientWinSocket& client, std::uint64_t was, std::uint64_t tag) {
    if (was != 0)
        tagged_.erase(was);
    if (tag != 0)
        tagged_[tag] = &client;
}

void TServerWinSocket::Accept(int Socket) {
    if (Socket == -1 || Socket != handle_)
        return;
    sockaddr_in peer{};
    const int handle = AcceptOne(handle_, peer);
    if (handle == -1) {
        // A shortage stops the watch for a while, unless room was made (the
        // next pass takes the terminal); any other failure (the client gone
        // before it was taken) leaves the next one to the loop.
        const int code = errno;
        if (backoff_.Failed(handle_, code, "Terminal port " + std::to_string(LocalPort()),
                            connections_.size(), makeRoom_) == AcceptBackoff::Outcome::Pausing)
            UpdateAcceptWatch();
        return;
    }
    backoff_.Accepted();
    std::shared_ptr<TServerClientWinSocket> client;
    try {
        client = std::make_shared<TServerClientWinSocket>(TServerClientWinSocket::Key(), handle,
                                                          peer, *this);
    } catch (...) {
        ::close(handle);
        throw;
    }
    {
        AssertLoopThread();
        if (std::find(connections_.begin(), connections_.end(), client) == connections_.end())
            connections_.push_back(client);
    }
    client->SetOnSocketEvent([this](TCustomWinSocket& socket, TSocketEvent event) {
        ClientEvent(static_cast<TServerClientWinSocket&>(socket), event);
    });
    client->SetOnErrorEvent([this](TCustomWinSocket& socket, TErrorEvent kind, int& code) {
        ClientError(static_cast<TServerClientWinSocket&>(socket), kind, code);
    });
    client->Start();
    // `client` keeps the connection alive through its connect handler, even
    // if that handler closes it or deactivates the listener.
    client->Event(TSocketEvent::seConnect);
    Event(TSocketEvent::seAccept);
}

void TServerWinSocket::Disconnect(int Socket) {
    AssertLoopThread();
    ReleaseAll();
    TCustomWinSocket::Disconnect(Socket);
}

void TServerWinSocket::ClientEvent(TServerClientWinSocket& client, TSocketEvent event) {
    // Posted before the handler runs, so a throwing handler cannot keep a
    // closed connection listed.
    if (event == TSocketEvent::seDisconnect)
        PostRelease(client);
    if (onClientEvent_)
        onClientEvent_(client, event);
}

void TServerWinSocket::ClientError(TServerClientWinSocket& client, TErrorEvent kind, int& code) {
    if (onClientError_)
        onClientError_(client, kind, code);
}

void TServerWinSocket::PostRelease(TServerClientWinSocket& client) {
    std::weak_ptr<TServerClientWinSocket> weak = client.weak_from_this();
    QMetaObject::invokeMethod(
        releaseContext_.get(),
        [this, weak] {
            // Already released (deactivation came first): nothing to do.
            if (auto connection = weak.lock())
                Release(*connection);
        },
        Qt::QueuedConnection);
}

void TServerWinSocket::Release(TServerClientWinSocket& client) noexcept {
    std::shared_ptr<TServerClientWinSocket> released;
    {
        AssertLoopThread();
        auto found = std::find_if(connections_.begin(), connections_.end(),
                                  [&](const auto& listed) { return listed.get() == &client; });
        if (found == connections_.end())
            return;
        released = std::move(*found);
        connections_.erase(found);
    }
    if (released->Tag() != 0)
        tagged_.erase(released->Tag());
    released->SetOnSocketEvent(nullptr);
    released->SetOnErrorEvent(nullptr);
    released->CloseQuietly();
    backoff_.Released();
    // The object goes with `released`, unless a dispatch still holds it.
}

void TServerWinSocket::ReleaseAll() noexcept {
    for (;;) {
        std::shared_ptr<TServerClientWinSocket> last;
        {
            AssertLoopThread();
            if (connections_.empty())
                return;
            last = connections_.back();
        }
        Release(*last);
    }
}

}  // namespace zel
