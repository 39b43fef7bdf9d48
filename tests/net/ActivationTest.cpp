// Opening and closing the listener: ports, failures, restart.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "NetTestSupport.h"

namespace zel::test {
namespace {

using namespace std::chrono_literals;

// A listening socket of the test's own, holding a port.
class PortHolder {
public:
    explicit PortHolder(std::uint16_t port = 0) {
        handle_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        ok_ = ::bind(handle_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
              ::listen(handle_, 1) == 0;
        socklen_t length = sizeof at;
        getsockname(handle_, reinterpret_cast<sockaddr*>(&at), &length);
        port_ = ntohs(at.sin_port);
    }
    ~PortHolder() { ::close(handle_); }
    bool Ok() const { return ok_; }
    std::uint16_t Port() const { return port_; }

private:
    int handle_;
    bool ok_;
    std::uint16_t port_;
};

TEST_F(ListenerTest, PortZeroLetsTheSystemChoose) {
    EXPECT_EQ(server.LocalPort(), 0);
    Open(0);
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(server.Port(), 0);
    EXPECT_NE(server.LocalPort(), 0);
    Peer peer(Port());
    ASSERT_TRUE(RunUntil([&] { return Count("connect") == 1; }));
}

TEST_F(ListenerTest, OnlyTheLowSixteenBitsOfThePortAreUsed) {
    {
        PortHolder probe(4464);
        if (!probe.Ok())
            GTEST_SKIP() << "port 4464 is taken on this machine";
    }
    Open(70000);
    EXPECT_EQ(server.Port(), 70000);
    EXPECT_EQ(server.LocalPort(), 4464);
}

TEST_F(ListenerTest, PortChangesWhileActiveAreRefused) {
    Open(0);
    const std::uint16_t listening = Port();
    struct Case {
        int value;
        bool raises;
    };
    for (const Case c : {Case{0, false}, Case{1234, true}, Case{70000, true}}) {
        if (c.raises) {
            try {
                server.SetPort(c.value);
                ADD_FAILURE() << "no error for port " << c.value;
            } catch (const ESocketError& error) {
                EXPECT_STREQ(error.what(), "Can't change value while socket is active");
            }
        } else {
            EXPECT_NO_THROW(server.SetPort(c.value)) << "port " << c.value;
        }
        EXPECT_EQ(server.Port(), 0);
        EXPECT_EQ(server.LocalPort(), listening);
    }
    server.SetActive(false);
    EXPECT_NO_THROW(server.SetPort(1234));
    EXPECT_EQ(server.Port(), 1234);
}

TEST_F(ListenerTest, PortInUseRaisesBindAndStaysInactive) {
    PortHolder holder;
    ASSERT_TRUE(holder.Ok());
    int listens = 0;
    server.OnListen = [&](TServerSocket&, TServerWinSocket&) { ++listens; };
    try {
        Open(holder.Port());
        ADD_FAILURE() << "no error for a port in use";
    } catch (const ESocketError& error) {
        EXPECT_EQ(std::string(error.what()), SocketErrorMessage(EADDRINUSE, "bind") + ", port " +
                                                 std::to_string(holder.Port()));
    }
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.LocalPort(), 0);
    EXPECT_EQ(server.Socket().SocketHandle(), -1);
    EXPECT_EQ(listens, 0);
    // The failure leaves nothing behind: another port opens normally.
    server.SetPort(0);
    server.SetActive(true);
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(listens, 1);
}

TEST_F(ListenerTest, NoHandleLeftRaisesCantCreateNewSocket) {
    {
        // The same failure once with handles to spare: the sanitizers' runtime
        // checks the error's type while it can still open the pipe it checks with.
        PortHolder holder;
        ASSERT_TRUE(holder.Ok());
        server.SetPort(holder.Port());
        EXPECT_THROW(server.SetActive(true), ESocketError);
        server.SetPort(0);
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string message;
    try {
        server.SetActive(true);
    } catch (const ESocketError& error) {
        message = error.what();
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(message, "Can't create new socket");
    EXPECT_FALSE(server.Active());
}

TEST_F(ListenerTest, ReopensAtOnceOnThePortItJustLeft) {
    Open(0);
    const std::uint16_t port = Port();
    Peer peer(port);
    ASSERT_TRUE(RunUntil([&] { return Count("connect") == 1; }));
    server.SetActive(false);  // our side closes first: its connection waits in TIME_WAIT
    server.SetPort(port);
    ASSERT_NO_THROW(server.SetActive(true));
    EXPECT_EQ(server.LocalPort(), port);
    Peer again(port);
    EXPECT_TRUE(RunUntil([&] { return Count("connect") == 2; }));
}

}  // namespace
}  // namespace zel::test
