// Sending to terminals: held bytes, their order and their bound.
#include <sys/socket.h>

#include <string>

#include "NetTestSupport.h"

namespace zel::test {
namespace {

using namespace std::chrono_literals;

constexpr int SMALL_BUFFER = 4096;

// Bytes whose order can be checked: position i holds i mod 251.
std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

void ShrinkSendBuffer(TServerClientWinSocket& socket) {
    setsockopt(socket.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &SMALL_BUFFER, sizeof SMALL_BUFFER);
}

TEST_F(ListenerTest, AWriteEventFollowsAcceptOnce) {
    Open();
    Peer peer(Port());
    ASSERT_TRUE(RunUntil([&] { return Count("write") == 1; }));
    RunFor(30ms);
    EXPECT_EQ(Count("write"), 1);
}

TEST_F(ListenerTest, AFrameLargerThanTheBuffersArrivesWholeAndInOrder) {
    const std::string frame = Pattern(60000);
    int firstCount = 0;
    Open();
    server.OnClientConnect = [&](TServerWinSocket&, TServerClientWinSocket& socket) {
        ShrinkSendBuffer(socket);
        firstCount = socket.TrySendText(frame);
        socket.TrySendText("TAIL");  // queues behind the held rest
    };
    Peer peer(Port(), PeerOptions{SMALL_BUFFER, true});
    ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 1; }));
    EXPECT_GT(firstCount, 0);
    ASSERT_LT(firstCount, static_cast<int>(frame.size())) << "buffers too large to hold anything";
    EXPECT_GT(server.Socket().Connections(0).HeldBytes(), 0u);
    // A slow reader: a few hundred bytes between turns of the loop.
    ASSERT_TRUE(RunUntil([&] {
        peer.Pump(300);
        return peer.Received().size() >= frame.size() + 4;
    }));
    EXPECT_TRUE(peer.Received() == frame + "TAIL");
    EXPECT_EQ(server.Socket().Connections(0).HeldBytes(), 0u);
    ASSERT_TRUE(RunUntil([&] { return Count("write") >= 1; }));
    for (const auto& event : seen) {
        if (event.kind == "write") {
            EXPECT_EQ(event.text, "0") << "a write event while bytes were still held";
        }
    }
}

TEST_F(ListenerTest, ATerminalThatStopsReadingIsClosedBeyondTheBound) {
    struct Case {
        const char* name;
        std::size_t size;
        int times;
    };
    const Case cases[] = {
        {"one frame far beyond", 400 * 1024, 1},
        {"many frames piling up", 20 * 1024, 40},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int sends = 0, afterClose = -2;
        std::string takenAfterClose = "?";
        server.OnClientConnect = [&](TServerWinSocket&, TServerClientWinSocket& socket) {
            ShrinkSendBuffer(socket);
            const std::string frame = Pattern(c.size);
            for (sends = 0; sends < c.times && socket.Connected(); ++sends)
                socket.TrySendText(frame);
            // Later sends in the same handler find the connection closed.
            afterClose = socket.TrySendText("late");
            takenAfterClose = socket.TakePendingText();
        };
        Peer peer(Port(), PeerOptions{SMALL_BUFFER, true});  // never reads
        ASSERT_TRUE(RunUntil([&] { return afterClose != -2; }));
        EXPECT_EQ(afterClose, 0);
        EXPECT_EQ(takenAfterClose, "");
        // What the system buffers take plus the bound, then it stops.
        EXPECT_LE(static_cast<std::size_t>(sends),
                  (TServerClientWinSocket::MAX_HELD_BYTES + 64 * 1024) / c.size + 1)
            << "kept accepting long after the bound";
        ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 0; }));
    }
    EXPECT_EQ(Count("error"), 0);
    EXPECT_EQ(Count("disconnect"), 2);
}

}  // namespace
}  // namespace zel::test
