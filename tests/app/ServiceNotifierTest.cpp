// The notifications systemd receives: READY=1 first, the status when it
// changes, watchdog pings from the loop that stop while the loop is stuck,
// STOPPING=1 last; and nothing at all outside systemd.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "NotifySocket.h"
#include "TempDir.h"
#include "app/ServiceNotifier.h"

namespace {

using zel::test::NotifySocket;
using namespace std::chrono_literals;

// The environment systemd gives a service, set for one test.
class SystemdEnvironment {
public:
    SystemdEnvironment(const std::string& socket, const char* watchdogUsec) {
        setenv("NOTIFY_SOCKET", socket.c_str(), 1);
        setenv("WATCHDOG_USEC", watchdogUsec, 1);
        unsetenv("WATCHDOG_PID");
    }
    ~SystemdEnvironment() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
    }
};

TEST(ServiceNotifierTest, OutsideSystemdNothingIsSentAndNoTimerRuns) {
    unsetenv("NOTIFY_SOCKET");
    zel::ServiceNotifier notifier;
    EXPECT_FALSE(notifier.UnderSystemd());
    bool asked = false;
    notifier.Ready([&asked] {
        asked = true;
        return std::string("x");
    });
    QTimer::singleShot(50ms, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    notifier.Stopping();
    EXPECT_FALSE(asked);
}

TEST(ServiceNotifierTest, PingsComeFromTheLoopAndStopWhileItIsStuck) {
    zel::test::TempDir dir;
    NotifySocket socket(dir.File("notify"));
    SystemdEnvironment environment(socket.Path(), "100000");  // 100 ms: a ping every 50 ms

    std::vector<NotifySocket::Message> received;
    std::thread reader([&] {
        while (auto message = socket.Receive(10s)) {
            received.push_back(*message);
            if (message->Text == "STOPPING=1") {
                return;
            }
        }
    });

    zel::ServiceNotifier notifier;
    ASSERT_TRUE(notifier.UnderSystemd());
    EXPECT_EQ(notifier.WatchdogInterval(), 100ms);
    int terminals = 0;
    notifier.Ready([&terminals] { return std::to_string(terminals) + " connected"; });
    QTimer::singleShot(300ms, [] { std::this_thread::sleep_for(1s); });  // a stuck loop
    QTimer::singleShot(1500ms, [&terminals] { terminals = 2; });
    QTimer::singleShot(1800ms, [] { QCoreApplication::quit(); });
    const auto stuckFrom = NotifySocket::Clock::now() + 300ms;
    QCoreApplication::exec();
    notifier.Stopping();
    reader.join();

    ASSERT_GE(received.size(), 4u);
    EXPECT_EQ(received.front().Text, "READY=1\nSTATUS=0 connected");
    EXPECT_EQ(received.back().Text, "STOPPING=1");
    int pingsBefore = 0;
    int pingsAfter = 0;
    int statuses = 0;
    NotifySocket::Clock::duration longestGap{};
    for (std::size_t i = 1; i + 1 < received.size(); ++i) {
        const auto& message = received[i];
        if (message.Text == "STATUS=2 connected") {
            ++statuses;
            continue;
        }
        ASSERT_EQ(message.Text, "WATCHDOG=1");
        (message.At < stuckFrom ? pingsBefore : pingsAfter)++;
        longestGap = std::max(longestGap, message.At - received[i - 1].At);
    }
    EXPECT_EQ(statuses, 1) << "the status once, when it changed";
    EXPECT_GE(pingsBefore, 2);
    EXPECT_GE(pingsAfter, 2);
    EXPECT_GE(longestGap, 900ms) << "no ping while the loop was stuck";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
