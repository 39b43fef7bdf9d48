// Test support for the listener: a terminal stand-in (a plain client socket
// on 127.0.0.1 driven from the test thread) and loops that run the Qt event
// loop until a condition holds or a deadline passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include <vector>

#include "net/ApplicationException.h"
#include "net/ServerSocket.h"

namespace zel::test {

// Runs the event loop until `done()`; false when `limit` passed first.
bool RunUntil(const std::function<bool()>& done,
              std::chrono::milliseconds limit = std::chrono::seconds(5));
// Runs the event loop for `span` (to show that nothing more happens).
void RunFor(std::chrono::milliseconds span);

// Waits, without running the event loop, until `handle` has `count` bytes
// to receive.
bool WaitPending(int handle, int count, std::chrono::milliseconds limit = std::chrono::seconds(5));

struct PeerOptions {
    int receiveBuffer = 0;       // SO_RCVBUF before connecting; 0 keeps the default
    bool waitForConnect = true;  // false: the connect completes in the background
};

// A terminal: connects to 127.0.0.1:port.
class Peer {
public:
    explicit Peer(std::uint16_t port, PeerOptions options = {});
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    int Handle() const { return handle_; }
    std::uint16_t LocalPort() const { return localPort_; }

    void Send(std::string_view bytes);
    // Takes up to `limit` bytes that have arrived; notes an end or a reset.
    void Pump(std::size_t limit = static_cast<std::size_t>(-1));
    const std::string& Received() const { return received_; }
    bool Gone() const { return gone_; }       // end of stream or error seen
    int Failure() const { return failure_; }  // errno of a failed connect/receive

    void Close();  // orderly close
    void Reset();  // abortive close: the gateway sees a reset

private:
    int handle_ = -1;
    std::uint16_t localPort_ = 0;
    std::string received_;
    bool gone_ = false;
    int failure_ = 0;
};

// The listener's connection for `peer`, or nullptr.
TServerClientWinSocket* ServerSideOf(TServerSocket& server, const Peer& peer);

// One event as the gateway would see it.
struct Seen {
    std::string kind;  // connect, read, write, error, disconnect
    int port;          // the terminal's own port
    std::string text;  // read: the text taken; error: "<kind> <code>"
};

// A listener on a port of the system's choice, with gateway-like handlers
// that record every event: greet on connect, take the text on read, clear
// every error. Exceptions that reach the application handler are kept.
class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Opens on `port` (0: any) with the recording handlers.
    void Open(int port = 0);
    std::uint16_t Port() { return server.LocalPort(); }
    int Count(const std::string& kind) const;
    int Count(const std::string& kind, const Peer& peer) const;
    std::string TextsRead(const Peer& peer) const;

    TServerSocket server;
    std::vector<Seen> seen;
    std::vector<std::string> shown;
    std::string greeting = "IDLE";
    bool clearErrors = true;

private:
    ApplicationExceptionHandler previous_;
};

}  // namespace zel::test
