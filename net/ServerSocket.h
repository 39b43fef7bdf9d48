// The listener component: the gateway's one TCP endpoint for its terminals.
//
// Set `Port`, then `Active` true to listen; terminals are then accepted and
// their events raised, one at a time, from the Qt event loop of this thread.
// Handlers are plain functions; `Sender` is the listening socket and `Socket`
// the terminal's connection, which a handler uses only while it runs. An
// exception that leaves a handler goes to the application's exception
// handler and the next event is served as usual.
//
// `OnClientError` receives the error code by reference: set it to 0 to
// clear the error; left non-zero, the layer raises `ESocketError`.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "net/ServerClientWinSocket.h"
#include "net/ServerWinSocket.h"
#include "net/SocketError.h"

namespace zel {

class TServerSocket {
public:
    using TSocketNotifyEvent =
        std::function<void(TServerWinSocket& Sender, TServerClientWinSocket& Socket)>;
    using TSocketErrorEvent =
        std::function<void(TServerWinSocket& Sender, TServerClientWinSocket& Socket,
                           TErrorEvent ErrorEvent, int& ErrorCode)>;
    // Events of the listening socket itself.
    using TListenerNotifyEvent =
        std::function<void(TServerSocket& Sender, TServerWinSocket& Socket)>;

    TServerSocket();
    ~TServerSocket();
    TServerSocket(const TServerSocket&) = delete;
    TServerSocket& operator=(const TServerSocket&) = delete;

    // The TCP port; only its low 16 bits are used (70000 listens on 4464),
    // and 0 lets the system choose. A different value while active raises
    // "Can't change value while socket is active".
    int Port() const { return port_; }
    void SetPort(int value);

    // True starts listening (errors raised to the caller, the listener left
    // inactive); false releases every connection, without events, and stops.
    bool Active() const { return active_; }
    void SetActive(bool value);

    // The port actually listened on; 0 while inactive.
    std::uint16_t LocalPort() const { return socket_->LocalPort(); }

    TServerWinSocket& Socket() { return *socket_; }

    TListenerNotifyEvent OnListen;
    TListenerNotifyEvent OnAccept;
    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketNotifyEvent OnClientRead;
    // Bytes came while the listener holds reading (TServerWinSocket::SetReadingHeld).
    TSocketNotifyEvent OnClientReadHeld;
    TSocketNotifyEvent OnClientWrite;
    TSocketErrorEvent OnClientError;

private:
    void ListenerEvent(TSocketEvent event);
    void ClientEvent(TServerClientWinSocket& client, TSocketEvent event);

    int port_ = 0;
    bool active_ = false;
    std::unique_ptr<TServerWinSocket> socket_;
};

}  // namespace zel
