// The pause after a result, in both modes of [GENERAL] PAUSA_POR_TERMINAL:
// 0 sleeps on the gateway's one thread, so every terminal waits; 1 pauses
// only the terminal that scanned. Each terminal must see the same bytes with
// the same timing either way.
#include <signal.h>

#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "GatewayFixture.h"

namespace zel::e2e {
namespace {

using std::chrono::milliseconds;

// Room for scheduling on a loaded machine; the pauses themselves are longer.
constexpr double kSlackMs = 60;

// Frames with the milliseconds from `from` to each.
struct Stream {
    std::vector<std::string> Frames;
    std::vector<double> Offsets;
};

Stream Collect(Terminal& terminal, std::size_t count, Clock::time_point from) {
    Stream s;
    for (std::size_t i = 0; i < count; ++i) {
        const Frame f = terminal.ExpectFrame(milliseconds(5000));
        s.Frames.push_back(f.Bytes);
        s.Offsets.push_back(MillisecondsBetween(from, f.At));
    }
    return s;
}

// Collects on its own thread, so each frame is stamped when it arrives
// whatever another terminal is waiting for.
std::future<Stream> CollectAsync(Terminal& terminal, std::size_t count, Clock::time_point from) {
    return std::async(std::launch::async,
                      [&terminal, count, from] { return Collect(terminal, count, from); });
}

GatewayConfig PauseConfig(int mode, int espera, int tipo = 0) {
    GatewayConfig config;
    config.PausaPorTerminal = mode;
    config.Espera = espera;
    config.Tipo = tipo;
    return config;
}

TEST_F(GatewayTest, OneTerminalSeesTheSameBytesAtTheSameTimesInBothModes) {
    constexpr int kEspera = 400;
    struct Case {
        std::string name;
        int tipo;
        std::string_view code;
        bool scansDuringPause;  // two more scans sent while the result stands
        std::vector<std::string> expected;
    };
    GatewayConfig type0 = PauseConfig(0, kEspera, 0);
    GatewayConfig type1 = PauseConfig(0, kEspera, 1);
    const Case cases[] = {
        {"found",
         0,
         kMilk,
         false,
         {ExpectedResultFrame(kMilkText, "$89.50", 0), ExpectedIdleFrame(type0)}},
        {"not found on type 1",
         1,
         kMissing,
         false,
         {ExpectedNotFoundFrame(1), ExpectedIdleFrame(type1)}},
        // The two scans wait in the socket and are read together: one lookup
        // of their digits joined.
        {"scans during the pause",
         0,
         kMilk,
         true,
         {ExpectedResultFrame(kMilkText, "$89.50", 0), ExpectedIdleFrame(type0),
          ExpectedResultFrame("LECHE Y PAN", "$2.00", 0), ExpectedIdleFrame(type0)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stream streams[2];
        for (const int mode : {0, 1}) {
            SCOPED_TRACE("PAUSA_POR_TERMINAL " + std::to_string(mode));
            StartGateway(PauseConfig(mode, kEspera, c.tipo));
            auto terminal = Connect();
            const auto sent = terminal->Scan(c.code);
            Stream& s = streams[mode];
            s = Collect(*terminal, 1, sent);
            if (c.scansDuringPause) {
                terminal->Send(ScanRequest(kMilk));
                std::this_thread::sleep_for(milliseconds(30));
                terminal->Send(ScanRequest(kBread));
            }
            const Stream rest = Collect(*terminal, c.expected.size() - 1, sent);
            s.Frames.insert(s.Frames.end(), rest.Frames.begin(), rest.Frames.end());
            s.Offsets.insert(s.Offsets.end(), rest.Offsets.begin(), rest.Offsets.end());
            EXPECT_EQ(Hex(terminal->ReadFor(milliseconds(300))), "");

            ASSERT_EQ(s.Frames.size(), c.expected.size());
            for (std::size_t i = 0; i < c.expected.size(); ++i) {
                EXPECT_EQ(Hex(s.Frames[i]), Hex(c.expected[i])) << "frame " << i;
            }
            // Every screen that follows a result stands for the whole pause.
            for (std::size_t i = 1; i < s.Offsets.size(); i += 2) {
                EXPECT_GE(s.Offsets[i] - s.Offsets[i - 1], kEspera - kStampNoiseMs)
                    << "frame " << i;
                EXPECT_LE(s.Offsets[i] - s.Offsets[i - 1], kEspera + kSlackMs) << "frame " << i;
            }
        }
        ASSERT_EQ(streams[0].Frames, streams[1].Frames);
        for (std::size_t i = 0; i < streams[0].Offsets.size(); ++i) {
            EXPECT_NEAR(streams[0].Offsets[i], streams[1].Offsets[i], kSlackMs) << "frame " << i;
        }
    }
}

TEST_F(GatewayTest, ASecondTerminalWaitsForTheFirstsPauseOnlyWhenPausesAreShared) {
    constexpr int kEspera = 500;
    for (const int mode : {0, 1}) {
        SCOPED_TRACE("PAUSA_POR_TERMINAL " + std::to_string(mode));
        const GatewayConfig config = PauseConfig(mode, kEspera);
        StartGateway(config);
        auto a = Connect();
        auto b = Connect();

        const auto aSent = a->Scan(kMilk);
        const Frame aResult = a->ExpectFrame(kPrompt);
        auto aRest = CollectAsync(*a, 1, aResult.At);
        const auto bSent = b->Scan(kBread);  // while A's result stands
        auto bFrames = CollectAsync(*b, 2, bSent);
        const Stream aIdle = aRest.get();
        const Stream bStream = bFrames.get();

        EXPECT_EQ(aResult.Bytes, ExpectedResultFrame(kMilkText, "$89.50", 0));
        EXPECT_EQ(aIdle.Frames[0], ExpectedIdleFrame(config));
        EXPECT_EQ(bStream.Frames[0], ExpectedResultFrame(kBreadText, "$35.50", 0));
        EXPECT_EQ(bStream.Frames[1], ExpectedIdleFrame(config));

        // A's idle screen comes the pause after A's result in both modes.
        EXPECT_GE(aIdle.Offsets[0], kEspera - kStampNoiseMs);
        EXPECT_LE(aIdle.Offsets[0], kEspera + kSlackMs);
        const double bAnswer = bStream.Offsets[0];
        const double aIdleFromB = aIdle.Offsets[0] - MillisecondsBetween(aResult.At, bSent);
        if (mode == 0) {
            // B is read only once A's handling, pause included, is over.
            EXPECT_GE(bAnswer, aIdleFromB - kStampNoiseMs) << "B answered before A's idle screen";
            EXPECT_GE(MillisecondsBetween(aSent, bSent) + bAnswer, kEspera - kStampNoiseMs);
        } else {
            EXPECT_LE(bAnswer, 100) << "B waited for A's pause";
        }
        // B's own result stands for its own pause.
        EXPECT_GE(bStream.Offsets[1] - bStream.Offsets[0], kEspera - kStampNoiseMs);
        EXPECT_EQ(Hex(a->ReadFor(milliseconds(100))), "");
        EXPECT_EQ(Hex(b->ReadFor(milliseconds(100))), "");
    }
}

TEST_F(GatewayTest, ATerminalThatLeavesDuringItsPauseDisturbsNoOne) {
    constexpr int kEspera = 300;
    for (const int mode : {0, 1}) {
        for (const bool reset : {false, true}) {
            SCOPED_TRACE("PAUSA_POR_TERMINAL " + std::to_string(mode) +
                         (reset ? ", reset" : ", closed"));
            const GatewayConfig config = PauseConfig(mode, kEspera);
            StartGateway(config);
            auto leaving = Connect();
            auto staying = Connect();
            leaving->Scan(kMilk);
            leaving->ExpectFrame(kPrompt);
            if (reset) {
                leaving->Reset();
            } else {
                leaving->Close();
            }

            staying->Scan(kBread);
            const Stream s = Collect(*staying, 2, Clock::now());
            EXPECT_EQ(s.Frames[0], ExpectedResultFrame(kBreadText, "$35.50", 0));
            EXPECT_EQ(s.Frames[1], ExpectedIdleFrame(config));
            // Past the leaver's pause: nothing more for the one that stayed.
            EXPECT_EQ(Hex(staying->ReadFor(milliseconds(kEspera + 100))), "");

            auto newcomer = Connect();  // greeted: the gateway is still serving
            const auto status = gateway_->Stop(SIGTERM);
            ASSERT_TRUE(status.has_value()) << "still running";
            EXPECT_EQ(ExitCode(*status), 0) << DescribeStatus(*status) << "\n"
                                            << gateway_->Stderr();
        }
    }
}

TEST_F(GatewayTest, ShutdownWithPausesPendingSendsNothingMoreAndEndsCleanly) {
    constexpr int kEspera = 5000;
    const GatewayConfig config = PauseConfig(1, kEspera);
    StartGateway(config);
    std::vector<std::unique_ptr<Terminal>> terminals;
    for (int i = 0; i < 3; ++i) {
        terminals.push_back(Connect());
        terminals.back()->Scan(kMilk);
        EXPECT_EQ(terminals.back()->ExpectFrame(kPrompt).Bytes,
                  ExpectedResultFrame(kMilkText, "$89.50", 0));
    }
    const auto signalled = Clock::now();
    const auto status = gateway_->Stop(SIGTERM, milliseconds(kEspera / 2));
    ASSERT_TRUE(status.has_value()) << "the gateway waited for the pauses";
    EXPECT_EQ(ExitCode(*status), 0) << DescribeStatus(*status) << "\n" << gateway_->Stderr();
    EXPECT_LT(MillisecondsBetween(signalled, Clock::now()), kEspera / 2);
    for (auto& terminal : terminals) {
        const auto rest = terminal->ReadUntilClosed(kPrompt);
        ASSERT_TRUE(rest.has_value()) << "a connection stayed open";
        EXPECT_EQ(Hex(*rest), "") << "sent after shutdown";
    }
}

}  // namespace
}  // namespace zel::e2e
