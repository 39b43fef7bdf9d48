// The readiness watches on their own, over socket pairs: what calls them, and
// that turning one off, or dropping it from a call, holds.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "NetTestSupport.h"
#include "net/Readiness.h"

namespace zel {
namespace {

using std::chrono::milliseconds;
using test::RunFor;
using test::RunUntil;

// Two connected stream sockets, closed with the test.
struct SocketPair {
    std::array<int, 2> Ends{-1, -1};
    SocketPair() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, Ends.data()), 0);
    }
    ~SocketPair() {
        for (const int end : Ends) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }
    void Write(int end) { ASSERT_EQ(::send(Ends[end], "x", 1, MSG_NOSIGNAL), 1); }
    void Drain(int end) {
        char buffer[64];
        while (::recv(Ends[end], buffer, sizeof buffer, 0) > 0) {
        }
    }
    void Close(int end) {
        ::close(Ends[end]);
        Ends[end] = -1;
    }
};

TEST(Readiness, AWatchIsCalledWhileOnAndNeverWhileOff) {
    struct Row {
        const char* name;
        std::function<void(SocketPair&, ReadinessWatch&)> meanwhile;  // with the watch off
        bool missed;  // the loop saw it ready while off
        bool calledOnceOn;
    };
    const Row rows[] = {
        {"nothing to read", [](SocketPair&, ReadinessWatch&) {}, false, false},
        {"bytes arrive", [](SocketPair& p, ReadinessWatch&) { p.Write(1); }, true, true},
        {"the peer hangs up", [](SocketPair& p, ReadinessWatch&) { p.Close(1); }, true, true},
        {"bytes arrive and are taken",
         [](SocketPair& p, ReadinessWatch&) {
             p.Write(1);
             RunFor(milliseconds(20));  // reported while off: it leaves the set
             p.Drain(0);
         },
         true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SocketPair pair;
        int calls = 0;
        ReadinessWatch watch(pair.Ends[0], ReadinessWatch::Kind::Read, [&](int) { ++calls; });
        watch.SetEnabled(false);
        row.meanwhile(pair, watch);
        RunFor(milliseconds(30));
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(watch.TakeMissed(), row.missed);
        EXPECT_FALSE(watch.TakeMissed());  // asking forgets it
        // On again: what waits is reported, once each pass, until taken.
        watch.SetEnabled(true);
        RunUntil([&] { return calls > 0; }, milliseconds(row.calledOnceOn ? 5000 : 50));
        EXPECT_EQ(calls > 0, row.calledOnceOn);
    }
}

TEST(Readiness, ReadAndWriteWatchesOfOneHandleAreCalledEachForItsOwn) {
    SocketPair pair;
    int reads = 0, writes = 0;
    ReadinessWatch reading(pair.Ends[0], ReadinessWatch::Kind::Read, [&](int) { ++reads; });
    ReadinessWatch writing(pair.Ends[0], ReadinessWatch::Kind::Write, [&](int) {
        ++writes;
        writing.SetEnabled(false);  // one write event, as the listener takes it
    });
    ASSERT_TRUE(RunUntil([&] { return writes == 1; }));
    EXPECT_EQ(reads, 0);
    pair.Write(1);
    ASSERT_TRUE(RunUntil([&] { return reads > 0; }));
    EXPECT_EQ(writes, 1);
    reading.Reset();
    RunFor(milliseconds(30));
    EXPECT_EQ(writes, 1);
}

TEST(Readiness, AWatchDroppedFromACallIsNotCalledAgainNorIsTheOtherItDropped) {
    SocketPair first, second;
    first.Write(1);
    second.Write(1);
    int calls = 0;
    std::unique_ptr<ReadinessWatch> a, b;
    // Whichever is called first drops both: the other, ready in the same
    // pass, is not called.
    const auto dropBoth = [&](int) {
        ++calls;
        a.reset();
        b.reset();
    };
    a = std::make_unique<ReadinessWatch>(first.Ends[0], ReadinessWatch::Kind::Read, dropBoth);
    b = std::make_unique<ReadinessWatch>(second.Ends[0], ReadinessWatch::Kind::Read, dropBoth);
    ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
    RunFor(milliseconds(30));
    EXPECT_EQ(calls, 1);
    // And the thread's watches start anew afterwards.
    int again = 0;
    ReadinessWatch c(first.Ends[0], ReadinessWatch::Kind::Read, [&](int) { ++again; });
    EXPECT_TRUE(RunUntil([&] { return again > 0; }));
}

}  // namespace
}  // namespace zel
