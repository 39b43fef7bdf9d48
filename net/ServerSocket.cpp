#include "net/ServerSocket.h"

#include <string>

namespace zel {

TServerSocket::TServerSocket() : socket_(std::make_unique<TServerWinSocket>()) {
    socket_->SetComponent(this);
    socket_->SetOnSocketEvent(
        [this](TCustomWinSocket&, TSocketEvent event) { ListenerEvent(event); });
    socket_->SetOnClientEvent(
        [this](TServerClientWinSocket& client, TSocketEvent event) { ClientEvent(client, event); });
    socket_->SetOnClientError([this](TServerClientWinSocket& client, TErrorEvent kind, int& code) {
        if (OnClientError)
            OnClientError(*socket_, client, kind, code);
    });
}

TServerSocket::~TServerSocket() {
    // Released without events: nothing of the gateway may run from here.
    socket_->SetComponent(nullptr);
    socket_->SetOnSocketEvent(nullptr);
    socket_->SetOnClientEvent(nullptr);
    socket_->SetOnClientError(nullptr);
}

void TServerSocket::SetPort(int value) {
    if (value == port_)
        return;
    if (active_)
        throw ESocketError(std::string(CANT_CHANGE_WHILE_ACTIVE));
    port_ = value;
}

void TServerSocket::SetActive(bool value) {
    if (value == active_)
        return;
    if (value) {
        socket_->Listen(static_cast<std::uint16_t>(static_cast<unsigned>(port_) & 0xFFFFu));
    } else {
        socket_->Disconnect(socket_->SocketHandle());
        active_ = false;
    }
}

void TServerSocket::ListenerEvent(TSocketEvent event) {
    switch (event) {
        case TSocketEvent::seListen:
            active_ = true;
            if (OnListen)
                OnListen(*this, *socket_);
            break;
        case TSocketEvent::seDisconnect:
            active_ = false;
            break;
        case TSocketEvent::seAccept:
            if (OnAccept)
                OnAccept(*this, *socket_);
            break;
        default:
            break;
    }
}

void TServerSocket::ClientEvent(TServerClientWinSocket& client, TSocketEvent event) {
    const TSocketNotifyEvent* handler = nullptr;
    switch (event) {
        case TSocketEvent::seConnect:
            handler = &OnClientConnect;
            break;
        case TSocketEvent::seDisconnect:
            handler = &OnClientDisconnect;
            break;
        case TSocketEvent::seWrite:
            handler = &OnClientWrite;
            break;
        default:
            break;
    }
    if (handler != nullptr && *handler)
        (*handler)(*socket_, client);
}

}  // namespace zel
