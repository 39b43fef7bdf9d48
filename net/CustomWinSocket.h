// One socket of the listener layer, listening or connected.
//
// It holds the system handle (-1 when closed), the connected flag, the
// address and two callbacks: where its socket events go and where its errors
// go. Only the thread that made it touches it (checked in debug builds):
// receive, send and close need no lock. Closing
// (`Disconnect`) raises the disconnect event before the handle is closed and
// happens at most once per handle. The notifications of the loop reach the
// overridable operations, each with the handle they name; a handle that is no
// longer the socket's own is a stale notification and is ignored.
#pragma once

#include <netinet/in.h>

#include <cassert>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "net/Readiness.h"
#include "net/SocketError.h"

namespace zel {

// Socket events, in their fixed order.
enum class TSocketEvent {
    seLookup,
    seConnecting,
    seConnect,
    seDisconnect,
    seListen,
    seAccept,
    seWrite,
    seRead
};

class TCustomWinSocket {
public:
    using TSocketEventCallback = std::function<void(TCustomWinSocket& Socket, TSocketEvent Event)>;
    using TSocketErrorCallback =
        std::function<void(TCustomWinSocket& Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

    TCustomWinSocket(const TCustomWinSocket&) = delete;
    TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;
    virtual ~TCustomWinSocket();

    int SocketHandle() const { return handle_; }
    bool Connected() const { return connected_; }
    // The address held for the socket: the bind address of a listener, the
    // peer of a connection. "0.0.0.0" and 0 once closed.
    std::string AddressText() const;
    std::uint16_t AddressPort() const;

    // Closes the socket now: disconnect event, then the handle is closed.
    void Close();

    void SetOnSocketEvent(TSocketEventCallback callback) { onEvent_ = std::move(callback); }
    void SetOnErrorEvent(TSocketErrorCallback callback) { onError_ = std::move(callback); }

protected:
    TCustomWinSocket() = default;

    // The socket is the loop thread's alone.
    void AssertLoopThread() const { assert(std::this_thread::get_id() == thread_); }

    // The operations a notification leads to, for the handle it names.
    virtual void Accept(int Socket);
    virtual void Disconnect(int Socket);
    virtual void Write(int Socket);

    void Event(TSocketEvent event);
    // Hands the error to the error callback, which may clear `code`.
    void Error(TErrorEvent kind, int& code);
    // What Error() was last given, before the callback saw it.
    virtual void Reported(int /*code*/) {}

    // Closes the handle, if open, with no event and no error.
    void CloseQuietly() noexcept;
    // What a closed socket no longer needs (a connection's held output).
    virtual void DropPendingOutput() noexcept {}

    int handle_ = -1;
    bool connected_ = false;
    sockaddr_in address_{};
    ReadinessWatch readWatch_;
    ReadinessWatch writeWatch_;

private:
    void ResetState() noexcept;

    const std::thread::id thread_ = std::this_thread::get_id();
    bool closing_ = false;
    TSocketEventCallback onEvent_;
    TSocketErrorCallback onError_;
};

}  // namespace zel
