#include "NetTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <QCoreApplication>
#include <QEvent>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace zel::test {

using namespace std::chrono_literals;

namespace {

void ProcessOnce() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // Notifiers retired inside a dispatch are deleted on the way back to the loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

[[noreturn]] void Fail(const char* what) {
    throw std::system_error(errno, std::system_category(), what);
}

}  // namespace

bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        ProcessOnce();
        if (done())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(200us);
    }
}

void RunFor(std::chrono::milliseconds span) {
    RunUntil([] { return false; }, span);
}

bool WaitPending(int handle, int count, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int pending = 0;
        if (ioctl(handle, FIONREAD, &pending) == 0 && pending >= count)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(200us);
    }
}

Peer::Peer(std::uint16_t port, PeerOptions options) {
    handle_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle_ == -1)
        Fail("socket");
    if (options.receiveBuffer > 0)
        setsockopt(handle_, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer,
                   sizeof options.receiveBuffer);
    const int on = 1;
    // Each Send leaves as its own segment.
    setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(handle_, F_SETFL, fcntl(handle_, F_GETFL) | O_NONBLOCK);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(handle_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
        errno != EINPROGRESS) {
        ::close(handle_);
        Fail("connect");
    }
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    getsockname(handle_, reinterpret_cast<sockaddr*>(&local), &localLength);
    localPort_ = ntohs(local.sin_port);
    if (options.waitForConnect) {
        // The system completes the handshake while the listener's queue has room.
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length);
            sockaddr_in remote{};
            socklen_t remoteLength = sizeof remote;
            if (error != 0) {
                ::close(handle_);
                errno = error;
                Fail("connect");
            }
            if (getpeername(handle_, reinterpret_cast<sockaddr*>(&remote), &remoteLength) == 0)
                break;
            if (std::chrono::steady_clock::now() > deadline) {
                ::close(handle_);
                errno = ETIMEDOUT;
                Fail("connect");
            }
            std::this_thread::sleep_for(200us);
        }
    }
}

Peer::~Peer() {
    if (handle_ != -1)
        ::close(handle_);
}

void Peer::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(handle_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            std::this_thread::sleep_for(200us);
        } else {
            Fail("send");
        }
    }
}

void Peer::Pump(std::size_t limit) {
    char buffer[4096];
    while (!gone_ && limit > 0) {
        const ssize_t got = ::recv(handle_, buffer, std::min(sizeof buffer, limit), MSG_DONTWAIT);
        if (got > 0) {
            received_.append(buffer, static_cast<std::size_t>(got));
            limit -= static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) {
            gone_ = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) {
            gone_ = true;
            failure_ = errno;
        }
        return;
    }
}

void Peer::Close() {
    ::close(handle_);
    handle_ = -1;
}

void Peer::Reset() {
    const linger abortive{1, 0};
    setsockopt(handle_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Close();
}

TServerClientWinSocket* ServerSideOf(TServerSocket& server, const Peer& peer) {
    auto& listener = server.Socket();
    for (int i = 0; i < listener.ActiveConnections(); ++i) {
        auto& connection = listener.Connections(i);
        if (connection.RemotePort() == peer.LocalPort())
            return &connection;
    }
    return nullptr;
}

void ListenerTest::SetUp() {
    previous_ = SetApplicationExceptionHandler(
        [this](const std::exception& error) { shown.push_back(WithFullStop(error.what())); });
}

void ListenerTest::TearDown() {
    server.SetActive(false);
    SetApplicationExceptionHandler(previous_);
}

void ListenerTest::Open(int port) {
    server.OnClientConnect = [this](TServerWinSocket&, TServerClientWinSocket& socket) {
        seen.push_back({"connect", socket.RemotePort(), ""});
        if (!greeting.empty())
            socket.TrySendText(greeting);
    };
    server.OnClientRead = [this](TServerWinSocket&, TServerClientWinSocket& socket) {
        seen.push_back({"read", socket.RemotePort(), socket.TakePendingText()});
    };
    server.OnClientWrite = [this](TServerWinSocket&, TServerClientWinSocket& socket) {
        seen.push_back({"write", socket.RemotePort(), std::to_string(socket.HeldBytes())});
    };
    server.OnClientDisconnect = [this](TServerWinSocket&, TServerClientWinSocket& socket) {
        seen.push_back({"disconnect", socket.RemotePort(), ""});
    };
    server.OnClientError = [this](TServerWinSocket&, TServerClientWinSocket& socket,
                                  TErrorEvent kind, int& code) {
        seen.push_back({"error", socket.RemotePort(),
                        std::to_string(static_cast<int>(kind)) + " " + std::to_string(code)});
        if (clearErrors)
            code = 0;
    };
    server.SetPort(port);
    server.SetActive(true);
}

int ListenerTest::Count(const std::string& kind) const {
    int count = 0;
    for (const auto& event : seen) count += event.kind == kind;
    return count;
}

int ListenerTest::Count(const std::string& kind, const Peer& peer) const {
    int count = 0;
    for (const auto& event : seen) count += event.kind == kind && event.port == peer.LocalPort();
    return count;
}

std::string ListenerTest::TextsRead(const Peer& peer) const {
    std::string texts;
    for (const auto& event : seen)
        if (event.kind == "read" && event.port == peer.LocalPort())
            texts += "[" + event.text + "]";
    return texts;
}

}  // namespace zel::test
