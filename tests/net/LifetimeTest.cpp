// What the owner of a connection can rely on: late events for released
// connections are dropped, reading can be suspended or held, keep-alive is on, and a
// handler that does not read is not called again and again.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <string>

#include "NetTestSupport.h"

namespace zel::test {
namespace {

using namespace std::chrono_literals;

int IntOption(int handle, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(handle, level, name, &value, &length);
    return value;
}

TEST_F(ListenerTest, EveryAcceptedConnectionKeepsAlive) {
    Open();
    Peer peer(Port());
    ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 1; }));
    const int handle = server.Socket().Connections(0).SocketHandle();
    struct Case {
        int level, name, value;
        const char* what;
    };
    const Case cases[] = {
        {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
        {IPPROTO_TCP, TCP_KEEPIDLE, 60, "TCP_KEEPIDLE"},
        {IPPROTO_TCP, TCP_KEEPINTVL, 10, "TCP_KEEPINTVL"},
        {IPPROTO_TCP, TCP_KEEPCNT, 3, "TCP_KEEPCNT"},
    };
    for (const auto& c : cases) EXPECT_EQ(IntOption(handle, c.level, c.name), c.value) << c.what;
}

TEST_F(ListenerTest, SuspendedReadingWaitsAndThenTakesEverything) {
    Open();
    server.OnClientConnect = [](TServerWinSocket&, TServerClientWinSocket& socket) {
        socket.SuspendReading();
    };
    Peer peer(Port());
    ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 1; }));
    auto& connection = server.Socket().Connections(0);
    EXPECT_TRUE(connection.ReadingSuspended());
    peer.Send(
        "\x02"
        "12");
    RunFor(20ms);
    peer.Send("34");
    ASSERT_TRUE(WaitPending(connection.SocketHandle(), 5));
    RunFor(30ms);
    EXPECT_EQ(Count("read"), 0);
    connection.ResumeReading();
    ASSERT_TRUE(RunUntil([&] { return Count("read") == 1; }));
    RunFor(20ms);
    EXPECT_EQ(TextsRead(peer),
              "[\x02"
              "1234]");
}

TEST_F(ListenerTest, HeldReadingTellsOnceAndWaitsForItsOffer) {
    Open();
    std::vector<int> held;  // the terminals' ports, as told
    server.OnClientReadHeld = [&](TServerWinSocket&, TServerClientWinSocket& socket) {
        held.push_back(socket.RemotePort());
    };
    Peer a(Port()), b(Port()), idle(Port());
    ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 3; }));
    server.Socket().SetReadingHeld(true);
    a.Send("12");
    b.Send("x");
    RunFor(20ms);
    a.Send("34");
    ASSERT_TRUE(WaitPending(ServerSideOf(server, a)->SocketHandle(), 4));
    RunFor(30ms);
    std::vector<int> once{a.LocalPort(), b.LocalPort()};
    std::ranges::sort(held);
    std::ranges::sort(once);
    EXPECT_EQ(held, once);
    ServerSideOf(server, a)->ReadPending();  // held still: waits, told again
    EXPECT_EQ(held.size(), 3u);
    server.Socket().SetReadingHeld(false);
    RunFor(30ms);
    EXPECT_EQ(Count("read"), 0) << "read before its offer";
    ServerSideOf(server, idle)->ReadPending();  // nothing came: nothing asked
    ServerSideOf(server, b)->ReadPending();
    ServerSideOf(server, a)->ReadPending();
    ASSERT_EQ(Count("read"), 2);
    EXPECT_EQ(seen.back().port, a.LocalPort()) << "offered second, read second";
    EXPECT_EQ(TextsRead(a), "[1234]");
    EXPECT_EQ(TextsRead(b), "[x]");
}

TEST_F(ListenerTest, AHandlerThatDoesNotReadIsNotCalledAgainUntilItReads) {
    Open();
    int calls = 0;
    server.OnClientRead = [&](TServerWinSocket&, TServerClientWinSocket&) { ++calls; };
    Peer peer(Port());
    peer.Send("abc");
    ASSERT_TRUE(RunUntil([&] { return calls == 1; }));
    RunFor(30ms);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(server.Socket().Connections(0).TakePendingText(), "abc");
    peer.Send("d");
    ASSERT_TRUE(RunUntil([&] { return calls == 2; }));
}

TEST_F(ListenerTest, AReleasedConnectionIsGoneForItsWeakHandle) {
    Open();
    std::weak_ptr<TServerClientWinSocket> handle;
    server.OnClientConnect = [&](TServerWinSocket&, TServerClientWinSocket& socket) {
        handle = socket.weak_from_this();
    };
    auto peer = std::make_unique<Peer>(Port());
    ASSERT_TRUE(RunUntil([&] { return !handle.expired(); }));
    peer->Close();
    ASSERT_TRUE(RunUntil([&] { return handle.expired(); }));
    EXPECT_EQ(server.Socket().ActiveConnections(), 0);
}

// Late notifications and posted releases for connections that are already
// released must be dropped, whatever the order; the address sanitizer run
// checks that nothing freed is touched.
TEST_F(ListenerTest, LateEventsForReleasedConnectionsAreDropped) {
    struct Case {
        const char* name;
        // Installs the handlers that release connections at an awkward moment.
        std::function<void(TServerSocket&)> arrange;
    };
    const Case cases[] = {
        {"deactivated from a read while another terminal has data",
         [](TServerSocket& server) {
             server.OnClientRead = [&server](TServerWinSocket&, TServerClientWinSocket&) {
                 server.SetActive(false);
             };
         }},
        {"deactivated from a disconnect, before its posted release",
         [](TServerSocket& server) {
             server.OnClientRead = [](TServerWinSocket&, TServerClientWinSocket& socket) {
                 socket.TakePendingText();
                 socket.Close();
                 socket.Close();  // at most once
                 EXPECT_EQ(socket.TrySendText("x"), 0);
                 EXPECT_EQ(socket.TakePendingText(), "");
             };
             server.OnClientDisconnect = [&server](TServerWinSocket&, TServerClientWinSocket&) {
                 server.SetActive(false);
             };
         }},
        {"deactivated from a connect handler",
         [](TServerSocket& server) {
             server.OnClientConnect = [&server](TServerWinSocket&, TServerClientWinSocket& socket) {
                 if (socket.ServerWinSocket().ActiveConnections() == 3)
                     server.SetActive(false);
             };
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        Open();
        Peer a(Port());
        Peer b(Port());
        ASSERT_TRUE(RunUntil([&] { return server.Socket().ActiveConnections() == 2; }));
        c.arrange(server);
        a.Send("A");
        b.Send("B");
        ASSERT_TRUE(WaitPending(ServerSideOf(server, a)->SocketHandle(), 1));
        ASSERT_TRUE(WaitPending(ServerSideOf(server, b)->SocketHandle(), 1));
        Peer c3(Port());
        ASSERT_TRUE(RunUntil([&] { return !server.Active(); }));
        RunFor(30ms);
        EXPECT_EQ(server.Socket().ActiveConnections(), 0);
        EXPECT_TRUE(shown.empty());
    }
}

}  // namespace
}  // namespace zel::test
