// Terminal connections: the order of events, reads, closes and resets,
// deactivation, and the exceptions of handlers.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NetTestSupport.h"

namespace zel::test {
namespace {

using namespace std::chrono_literals;

TEST_F(ListenerTest, ConnectComesBeforeTheFirstReadAndGreetsFirst) {
    Open();
    Peer peer(Port());
    peer.Send(
        "\x02"
        "123");
    ASSERT_TRUE(RunUntil([&] { return Count("read") == 1; }));
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, "connect");
    EXPECT_EQ(TextsRead(peer),
              "[\x02"
              "123]");
    ASSERT_TRUE(RunUntil([&] {
        peer.Pump();
        return peer.Received().size() >= greeting.size();
    }));
    EXPECT_EQ(peer.Received(), greeting);
}

TEST_F(ListenerTest, EachReadTakesWhatIsPendingThen) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        bool readBetween;      // let the listener read after each piece
        std::string expected;  // texts of the read events, in brackets
    };
    const Case cases[] = {
        {"one message in two segments",
         {"\x02"
          "12",
          "34"},
         true,
         "[\x02"
         "12][34]"},
        {"two messages together",
         {"\x02"
          "11",
          "\x02"
          "22"},
         false,
         "[\x02"
         "11\x02"
         "22]"},
        {"a byte at a time", {"a", "b", "c"}, true, "[a][b][c]"},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer(Port());
        ASSERT_TRUE(RunUntil([&] { return ServerSideOf(server, peer) != nullptr; }));
        const int handle = ServerSideOf(server, peer)->SocketHandle();
        int total = 0;
        for (const auto& piece : c.pieces) {
            peer.Send(piece);
            total += static_cast<int>(piece.size());
            if (c.readBetween) {
                const int reads = Count("read", peer);
                ASSERT_TRUE(RunUntil([&] { return Count("read", peer) == reads + 1; }));
            } else {
                ASSERT_TRUE(WaitPending(handle, total));
            }
        }
        ASSERT_TRUE(RunUntil([&] { return Count("read", peer) >= 1; }));
        RunFor(20ms);
        EXPECT_EQ(TextsRead(peer), c.expected);
    }
}

TEST_F(ListenerTest, AReadWithNothingLeftGivesAnEmptyText) {
    Open();
    // Whichever read comes first takes the data of both terminals; the
    // other's readiness, reported in the same round, finds nothing left.
    server.OnClientRead = [this](TServerWinSocket& sender, TServerClientWinSocket& socket) {
        seen.push_back({"read", socket.RemotePort(), socket.TakePendingText()});
        for (int i = 0; i < sender.ActiveConnections(); ++i) {
            auto& other = sender.Connections(i);
            if (&other != &socket)
                seen.push_back({"read", other.RemotePort(), other.TakePendingText()});
        }
    };
    Peer a(Port());
    Peer b(Port());
    ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 2; }));
    a.Send("AAA");
    b.Send("BBB");
    ASSERT_TRUE(WaitPending(ServerSideOf(server, a)->SocketHandle(), 3));
    ASSERT_TRUE(WaitPending(ServerSideOf(server, b)->SocketHandle(), 3));
    ASSERT_TRUE(RunUntil([&] { return Count("read") >= 4; }, 2s));
    RunFor(20ms);
    // First handler: its own text, then the other's. Second handler: its
    // own read is empty, and so is what it takes from the first.
    EXPECT_EQ(TextsRead(a), "[AAA][]");
    EXPECT_EQ(TextsRead(b), "[BBB][]");
    EXPECT_EQ(Count("read"), 4);
    EXPECT_EQ(Count("error"), 0);
}

TEST_F(ListenerTest, ACleanCloseIsReleasedAndRaisesNothing) {
    Open();
    Peer stays(Port());
    {
        Peer leaves(Port());
        // A terminal reads what it is sent; closing with unread bytes would reset.
        ASSERT_TRUE(RunUntil([&] {
            leaves.Pump();
            return leaves.Received() == greeting;
        }));
        leaves.Close();
        ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 1; }));
    }
    EXPECT_EQ(Count("read"), 0);
    EXPECT_EQ(Count("error"), 0);
    EXPECT_EQ(Count("disconnect"), 1);
    EXPECT_TRUE(shown.empty());
    stays.Send("still here");
    ASSERT_TRUE(RunUntil([&] { return Count("read", stays) == 1; }));
    EXPECT_EQ(TextsRead(stays), "[still here]");
}

TEST_F(ListenerTest, AResetRaisesDisconnectErrorAndIsReleased) {
    struct Case {
        const char* name;
        bool cleared;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {"the handler clears the code", true, {}},
        {"the code is left", false, {WithFullStop(AsyncSocketErrorMessage(ECONNRESET))}},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        shown.clear();
        clearErrors = c.cleared;
        Peer other(Port());
        auto peer = std::make_unique<Peer>(Port());
        ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 2; }));
        const int port = peer->LocalPort();
        peer->Reset();
        ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 1; }));
        ASSERT_EQ(Count("error"), 1);
        for (const auto& event : seen) {
            if (event.kind != "error")
                continue;
            EXPECT_EQ(event.port, port);
            EXPECT_EQ(event.text, std::to_string(eeDisconnect) + " " + std::to_string(ECONNRESET));
        }
        EXPECT_EQ(shown, c.shown);
        other.Send("next");
        ASSERT_TRUE(RunUntil([&] { return Count("read", other) == 1; }));
        other.Close();
        ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 0; }));
    }
}

TEST_F(ListenerTest, DeactivationClosesEveryConnectionWithoutClientEvents) {
    Open();
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 3; ++i) peers.push_back(std::make_unique<Peer>(Port()));
    ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 3; }));
    peers[1]->Send("unread");
    ASSERT_TRUE(WaitPending(ServerSideOf(server, *peers[1])->SocketHandle(), 6));
    const auto before = seen.size();
    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.Socket().ActiveConnections(), 0);
    RunUntil([&] {
        for (auto& peer : peers) peer->Pump();
        return peers[0]->Gone() && peers[1]->Gone() && peers[2]->Gone();
    });
    for (auto& peer : peers) EXPECT_TRUE(peer->Gone());
    RunFor(20ms);
    EXPECT_EQ(seen.size(), before);
}

TEST_F(ListenerTest, AnExceptionFromAHandlerIsShownAndTheNextEventServed) {
    struct Case {
        const char* name;
        std::function<void()> thrower;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {"runtime error",
         [] { throw std::runtime_error("handler failed: 42"); },
         {"handler failed: 42."}},
        {"socket error",
         [] { throw ESocketError(SocketErrorMessage(EPIPE, "send")); },
         {SocketErrorMessage(EPIPE, "send")}},
        {"abort", [] { throw EAbort(); }, {}},
        {"not a std::exception", [] { throw 7; }, {"Unknown exception."}},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        shown.clear();
        bool first = true;
        server.OnClientRead = [&](TServerWinSocket&, TServerClientWinSocket& socket) {
            seen.push_back({"read", socket.RemotePort(), socket.TakePendingText()});
            if (std::exchange(first, false))
                c.thrower();
        };
        Peer peer(Port());
        peer.Send("one");
        ASSERT_TRUE(RunUntil([&] { return Count("read", peer) == 1; }));
        peer.Send("two");
        ASSERT_TRUE(RunUntil([&] { return Count("read", peer) == 2; }));
        EXPECT_EQ(TextsRead(peer), "[one][two]");
        EXPECT_EQ(shown, c.shown);
    }
}

TEST_F(ListenerTest, TerminalsThatConnectWhileAHandlerBlocksAreServedAfter) {
    Open();
    std::vector<std::unique_ptr<Peer>> waiting;
    server.OnClientRead = [&](TServerWinSocket&, TServerClientWinSocket& socket) {
        seen.push_back({"read", socket.RemotePort(), socket.TakePendingText()});
        if (!waiting.empty())
            return;
        // The gateway's pause: nothing is served while it lasts.
        for (int i = 0; i < 7; ++i)
            waiting.push_back(std::make_unique<Peer>(Port(), PeerOptions{0, false}));
        std::this_thread::sleep_for(150ms);
    };
    Peer scanning(Port());
    scanning.Send(
        "\x02"
        "7501234567890");
    ASSERT_TRUE(RunUntil([&] { return waiting.size() == 7; }));
    const auto settled = [&] {
        for (auto& peer : waiting) {
            peer->Pump();
            if (peer->Received() != greeting && !peer->Gone())
                return false;
        }
        return true;
    };
    RunUntil(settled, 10s);
    int greeted = 0;
    for (auto& peer : waiting) {
        greeted += peer->Received() == greeting;
        EXPECT_TRUE(peer->Received() == greeting || peer->Gone());
    }
    // The system's queue holds them all: none is left connected and unserved.
    EXPECT_EQ(greeted, 7);
    EXPECT_EQ(Count("connect"), 1 + greeted);
    EXPECT_TRUE(shown.empty());
}

}  // namespace
}  // namespace zel::test
