// StreamConnection: one connection of a StreamListener's service, on the
// loop. It only reads and writes. Each time the socket is readable, what one
// receive brings (at most READ_BYTES) goes to `Received`, and the peer's end
// or a socket error to `Ended`. `Send` writes what the socket takes at once
// and keeps the rest, in order, for when it becomes writable; `Drained` says
// when all of it has gone. The owner closes the connection by destroying
// the object, from inside one of its calls too.
//
// Loop thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/Readiness.h"

namespace zel {

class StreamConnection {
public:
    static constexpr std::size_t READ_BYTES = 16 * 1024;

    struct Events {
        std::function<void(std::string_view bytes)> Received;
        std::function<void()> Drained;
        std::function<void()> Ended;
    };

    // Takes `handle` (non-blocking, connected) and reads from it at once.
    StreamConnection(int handle, Events events);
    ~StreamConnection();
    StreamConnection(const StreamConnection&) = delete;
    StreamConnection& operator=(const StreamConnection&) = delete;

    // Whether every byte went at once; if not, Drained follows once they
    // have, unless the socket has failed (Failed: nothing is kept).
    bool Send(std::string_view bytes);
    bool Failed() const { return failed_; }
    // Drained follows on the loop's next pass that finds the socket
    // writable, even when nothing is left to send.
    void AwaitDrained();
    // While off, bytes wait in the socket, and the peer's sending stops
    // once its window is full.
    void SetReading(bool on) { read_.SetEnabled(on); }
    // No more bytes from this end: the peer reads its end of the stream.
    void ShutdownWrite();
    std::size_t Unsent() const { return unsent_.size() - sentFrom_; }

private:
    void Readable();
    void Writable();
    // Writes what is kept; false when the socket failed.
    bool Flush();

    int handle_;
    // Shared so that a call outlives the connection destroyed during it.
    std::shared_ptr<const Events> events_;
    ReadinessWatch read_;
    ReadinessWatch write_;
    std::string unsent_;
    std::size_t sentFrom_ = 0;
    bool failed_ = false;
};

}  // namespace zel
