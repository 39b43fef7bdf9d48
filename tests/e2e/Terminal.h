// A price-check terminal as the tests drive it: a plain TCP client on
// loopback that sends raw bytes and cuts what arrives into frames, each
// stamped with the moment its last byte was read.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel::e2e {

using Clock = std::chrono::steady_clock;

struct Frame {
    std::string Bytes;     // STX ... EOT, whole
    Clock::time_point At;  // when its last byte arrived
};

// Milliseconds from `from` to `to`, as a double.
double MillisecondsBetween(Clock::time_point from, Clock::time_point to);

class Terminal {
public:
    // Connects to 127.0.0.1:port; throws std::runtime_error naming the port
    // and the error when no connection is made within `limit`. `tipo` picks
    // the frame layout to expect: 0 has a check byte before EOT, any other
    // value has none. `from` is the terminal's own address, one of
    // 127.0.0.0/8 (so that several terminals have addresses of their own);
    // empty: 127.0.0.1.
    Terminal(std::uint16_t port, int tipo,
             std::chrono::milliseconds limit = std::chrono::seconds(5),
             const std::string& from = {});
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Sends every byte (no delay: each call leaves as its own segment).
    // Returns when the bytes are with the system; throws on failure.
    void Send(std::string_view bytes);
    // Sends STX digits ETX; the moment just before sending.
    Clock::time_point Scan(std::string_view digits);

    // The next whole frame, or nullopt when none is complete within `limit`
    // (bytes of a partial frame stay for the next call). Throws when the
    // bytes do not start with STX.
    std::optional<Frame> NextFrame(std::chrono::milliseconds limit);
    // The same, throwing std::runtime_error when no frame comes.
    Frame ExpectFrame(std::chrono::milliseconds limit);
    // Every byte that arrives within `span` (with any left from before).
    std::string ReadFor(std::chrono::milliseconds span);
    // Reads until the gateway closes the connection; the bytes that came
    // meanwhile, or nullopt when it was still open after `limit`.
    std::optional<std::string> ReadUntilClosed(std::chrono::milliseconds limit);

    void Close();  // orderly close
    void Reset();  // abortive close: the gateway sees a reset
    int Handle() const { return handle_; }
    std::uint16_t LocalPort() const;  // the terminal's own end

private:
    // Reads what arrives before `deadline` into pending_; false on timeout,
    // sets closed_ on end of stream or error.
    bool Receive(Clock::time_point deadline);
    std::optional<std::size_t> CompleteFrameLength() const;

    int handle_ = -1;
    int tipo_ = 0;
    std::uint16_t port_ = 0;
    std::string pending_;
    Clock::time_point lastArrival_{};
    bool closed_ = false;
};

// True when something accepts a connection on 127.0.0.1:port right now.
bool SomethingListens(std::uint16_t port);

// A socket bound on every IPv4 address at `port` (0: one the system picks)
// until it goes: listening, it takes the gateway's port; not listening, it
// is a port where every connect is refused.
class PortHolder {
public:
    explicit PortHolder(std::uint16_t port = 0, bool listening = true);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    std::uint16_t Port() const { return port_; }

private:
    int handle_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace zel::e2e
