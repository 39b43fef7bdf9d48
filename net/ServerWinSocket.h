// The listening socket and its list of connections.
//
// `Listen` opens it on 0.0.0.0 and the given port. Each accept readiness
// accepts one terminal, lists it and raises its connect event. A connection
// that closes is released later, from the event loop, once the handler that
// may still hold it has returned. `Disconnect` of the listening handle
// releases every connection at once, without any event, then closes the
// listener. Events and errors of the connections go to the client callbacks.
// Out of file handles, the listener backs off instead of spinning
// (AcceptBackoff): the terminals waiting are refused, unless the owner lets
// a connection of lesser worth go for them; those connected are served as
// before, and the journal hears of it once.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "net/AcceptBackoff.h"
#include "net/CustomWinSocket.h"
#include "net/ServerClientWinSocket.h"

class QObject;

namespace zel {

class TServerSocket;

class TServerWinSocket : public TCustomWinSocket {
public:
    using TClientEventCallback =
        std::function<void(TServerClientWinSocket& Socket, TSocketEvent Event)>;
    using TClientErrorCallback =
        std::function<void(TServerClientWinSocket& Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

    // The system's longest queue: a store's terminals all connect at once
    // after a switch restarts, and a connect the queue cannot hold may be
    // completed on the terminal's side and never accepted here.
    static constexpr int LISTEN_BACKLOG = SOMAXCONN;

    TServerWinSocket();
    ~TServerWinSocket() override;

    // Opens the listener on all local IPv4 addresses. Raises ESocketError
    // ("Can't create new socket", or the system error on "bind"/"listen");
    // after a failure it is closed again. Needs a Qt event loop on this thread.
    void Listen(std::uint16_t port);

    // The port the system bound (the chosen one when 0 was asked); 0 when closed.
    std::uint16_t LocalPort() const;

    // While not accepting, new terminals wait in the system's queue of
    // LISTEN_BACKLOG pending connections, as they do while a handler runs.
    void SetAccepting(bool accepting);

    // While held, no connection's read event is raised: one that becomes
    // readable raises the component's OnClientReadHeld, once, and its bytes
    // wait in its socket until offered (ReadPending). Holding and letting go
    // cost the same however many terminals are connected.
    void SetReadingHeld(bool held) { readingHeld_ = held; }
    bool ReadingHeld() const { return readingHeld_; }

    // Accepted connections still open or awaiting release, oldest first.
    int ActiveConnections() const;
    // Throws std::out_of_range for an index outside 0..ActiveConnections()-1.
    TServerClientWinSocket& Connections(int index) const;

    // The component whose handlers a connection's read event calls directly;
    // null: read events go nowhere.
    const TServerSocket* Component() const { return component_; }
    void SetComponent(const TServerSocket* component) { component_ = component; }

    // The listed connection tagged `tag`; null when none is.
    TServerClientWinSocket* FindByTag(std::uint64_t tag) const;

    // Closing the listening handle releases every connection first, at once
    // and without events.
    void Disconnect(int Socket) override;

    void SetOnClientEvent(TClientEventCallback callback) { onClientEvent_ = std::move(callback); }
    // Where the line of an episode without file handles goes.
    void SetOnJournal(AcceptBackoff::Journal journal) { backoff_.SetJournal(std::move(journal)); }
    // Out of file handles, asked to close a connection of lesser worth (one
    // of the monitor's) for the terminal waiting; says whether it did.
    void SetMakeRoom(std::function<bool()> makeRoom) { makeRoom_ = std::move(makeRoom); }
    void SetOnClientError(TClientErrorCallback callback) { onClientError_ = std::move(callback); }

protected:
    void Accept(int Socket) override;

private:
    friend class TServerClientWinSocket;
    void Retag(TServerClientWinSocket& client, std::uint64_t was, std::uint64_t tag);
    void ClientEvent(TServerClientWinSocket& client, TSocketEvent event);
    void ClientError(TServerClientWinSocket& client, TErrorEvent kind, int& code);
    void PostRelease(TServerClientWinSocket& client);
    void Release(TServerClientWinSocket& client) noexcept;
    void ReleaseAll() noexcept;
    void UpdateAcceptWatch();

    std::vector<std::shared_ptr<TServerClientWinSocket>> connections_;
    std::unordered_map<std::uint64_t, TServerClientWinSocket*> tagged_;
    const TServerSocket* component_ = nullptr;
    bool readingHeld_ = false;
    // Posted releases run in this object's name; they are dropped with it.
    std::unique_ptr<QObject> releaseContext_;
    TClientEventCallback onClientEvent_;
    TClientErrorCallback onClientError_;
    bool accepting_ = true;  // what the owner wants; a back-off may hold it off
    std::function<bool()> makeRoom_;
    AcceptBackoff backoff_;
};

}  // namespace zel
