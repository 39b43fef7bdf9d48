// One accepted terminal connection.
//
// The listener creates it for each accepted handle, owns it, and releases it
// after it is closed. Handlers use it for the length of one event:
// `TakePendingText` returns every byte received and not yet read, in one
// receive; `TrySendText` makes one send and returns what the system took at
// once. Bytes the system does not take at once are held, in order, and written
// when the socket becomes writable; later sends queue behind them. A terminal
// that lets more than `MAX_HELD_BYTES` pile up is closed and released.
//
// Owners that outlive one event (a timer, say) keep a `std::weak_ptr` from
// `weak_from_this()`: it expires when the listener releases the connection.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/CustomWinSocket.h"

namespace zel {

class TServerWinSocket;

class TServerClientWinSocket : public TCustomWinSocket,
                               public std::enable_shared_from_this<TServerClientWinSocket> {
public:
    static constexpr std::size_t MAX_HELD_BYTES = 64 * 1024;

    // Only the listener makes connections.
    class Key {
        friend class TServerWinSocket;
        Key() = default;
    };
    TServerClientWinSocket(Key, int handle, const sockaddr_in& peer, TServerWinSocket& server);
    ~TServerClientWinSocket() override;

    TServerWinSocket& ServerWinSocket() const { return server_; }
    std::string RemoteAddress() const { return AddressText(); }
    int RemotePort() const { return AddressPort(); }

    // Every byte pending now, as one string; empty when nothing is pending,
    // when the connection is closed, or after a receive error.
    std::string TakePendingText();

    // One send of the whole text. Returns the count the system took at once;
    // -1 when it took nothing now (the text is held for later); 0 on a closed
    // connection (nothing sent, nothing held); -1 after a send error (the
    // connection is then closed).
    int TrySendText(const std::string& text);

    // Bytes held for the terminal, not yet taken by the system.
    std::size_t HeldBytes() const { return held_.size() - heldStart_; }
    // Whether it was closed for letting more than MAX_HELD_BYTES pile up.
    bool Overflowed() const { return overflowed_; }

    // While suspended no read event is raised; the bytes wait in the socket
    // and the next read after resuming takes them all.
    void SuspendReading();
    void ResumeReading();
    bool ReadingSuspended() const { return readSuspended_; }
    // Raises the read event now, as the loop would, when reading is on and
    // bytes came while it was suspended or held; does nothing otherwise
    // (bytes the loop has not seen yet raise it on its next pass). While the
    // listener still holds reading, the bytes go on waiting and the hold is
    // told of them again. An exception from the handler goes to the
    // application's exception handler, as from the loop.
    void ReadPending();

    // The owner's name for the connection (the gateway's session id); 0
    // until set. The listener finds a connection by it (FindByTag).
    std::uint64_t Tag() const { return tag_; }
    void SetTag(std::uint64_t tag);
    // The last error code reported for the connection, before any handler
    // cleared it; 0 when none was.
    int ReportedError() const { return reportedError_; }

    // Whether the terminal has closed or reset a connection whose reading is
    // suspended: nothing is pending and the socket reports its end. Reads
    // nothing; the caller decides whether to close.
    bool PeerGone() const;

private:
    friend class TServerWinSocket;

    // Marks it connected, sets keep-alive and no delay, and starts watching the handle.
    void Start();
    // The loop reports the handle readable or writable; `counted`: the bytes
    // the caller already found waiting (-1: not counted yet).
    void ReadReady(int Socket, int counted = -1);
    void WriteReady(int Socket);
    // Writes held bytes until the system would block; false if the
    // connection was closed meanwhile.
    bool Flush();
    void Hold(std::string_view bytes);
    void UpdateReadWatch();
    // Readable while the listener holds reading: waits until offered.
    void HoldBack();
    void DropPendingOutput() noexcept override;
    void Reported(int code) override { reportedError_ = code; }

    TServerWinSocket& server_;
    std::string held_;
    std::size_t heldStart_ = 0;
    bool readSuspended_ = false;
    bool overflowed_ = false;
    // A read event left data unread: no further read event until a receive,
    // so a handler that does not read is not called again and again.
    bool awaitingReceive_ = false;
    bool heldBack_ = false;  // bytes wait for the listener's hold to end
    bool received_ = false;
    int pendingHint_ = -1;  // what the read event's notification found; -1 outside it
    std::uint64_t tag_ = 0;
    int reportedError_ = 0;
};

}  // namespace zel
