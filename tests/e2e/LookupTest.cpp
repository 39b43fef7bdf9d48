// Lookups that take long or never end: a stopped server, a server far away,
// a terminal that leaves while its lookup waits, a signal meanwhile.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "DelayProxy.h"
#include "GatewayFixture.h"

namespace zel::e2e {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kOutOfService = "SIN SERVICIO";
// Long enough for the gateway to have taken a read that was just sent.
constexpr milliseconds kSettle{200};

// Resumes the server however the test ends, so it can be stopped in order.
class StoppedServer {
public:
    explicit StoppedServer(ChildProcess& server) : server_(server) {
        server_.Signal(SIGSTOP);
        // A scan sent before the last thread stops would still be answered.
        for (int i = 0; i < 1000 && !AllThreadsStopped(server_.Pid()); ++i) {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    ~StoppedServer() { server_.Signal(SIGCONT); }
    StoppedServer(const StoppedServer&) = delete;
    StoppedServer& operator=(const StoppedServer&) = delete;

private:
    ChildProcess& server_;
};

std::uint16_t PortOf(const std::string& address) {
    return static_cast<std::uint16_t>(std::stoul(address.substr(address.rfind(':') + 1)));
}

TEST_F(GatewayTest, AStoppedServerHoldsOthersOnlyWhenPausesAreShared) {
    constexpr int kLimit = 1500;
    for (const int mode : {0, 1}) {
        SCOPED_TRACE("PAUSA_POR_TERMINAL " + std::to_string(mode));
        GatewayConfig config;
        config.PausaPorTerminal = mode;
        config.Espera = 200;
        config.LimiteConsulta = kLimit;
        config.SinServicio = std::string(kOutOfService);
        StartGateway(config);
        auto a = Connect();
        const StoppedServer stopped(server_->Process());
        const Clock::time_point scanned = a->Scan(kMilk);
        std::this_thread::sleep_for(kSettle);

        const Clock::time_point connecting = Clock::now();
        Terminal c(gateway_->Port(), config.Tipo);
        const Frame greeting = c.ExpectFrame(milliseconds(kLimit * 3));
        const Frame outOfService = a->ExpectFrame(milliseconds(kLimit * 3));
        const Frame idle = a->ExpectFrame(kPrompt);
        EXPECT_EQ(Hex(outOfService.Bytes), Hex(ExpectedMessageFrame(kOutOfService, config.Tipo)));
        EXPECT_EQ(idle.Bytes, ExpectedIdleFrame(config));
        EXPECT_EQ(greeting.Bytes, ExpectedIdleFrame(config));
        EXPECT_GE(MillisecondsBetween(scanned, outOfService.At), kLimit - kStampNoiseMs);
        const double greetedAfter = MillisecondsBetween(connecting, greeting.At);
        std::printf("mode %d: a new terminal greeted after %.1f ms\n", mode, greetedAfter);
        if (mode == 1) {
            EXPECT_LT(greeting.At, outOfService.At) << "greeted while the lookup hung";
        } else {
            EXPECT_GE(MillisecondsBetween(idle.At, greeting.At), -kStampNoiseMs)
                << "greeted only once the lookup and its pause were over";
        }
        EXPECT_NE(gateway_->Stderr().find("BuscaPrecio"), std::string::npos)
            << "the cause on stderr: " << gateway_->Stderr();
    }
}

TEST_F(GatewayTest, SigtermDuringAHungLookupOrALongPauseEndsAtOnceSendingNothing) {
    for (const int mode : {0, 1}) {
        for (const bool hung : {true, false}) {
            SCOPED_TRACE("PAUSA_POR_TERMINAL " + std::to_string(mode) +
                         (hung ? ", lookup hung" : ", pause of 20 s"));
            GatewayConfig config;
            config.PausaPorTerminal = mode;
            config.LimiteConsulta = 20000;
            config.Espera = 20000;
            config.SinServicio = std::string(kOutOfService);
            StartGateway(config);
            auto a = Connect();
            std::optional<StoppedServer> stopped;
            if (hung) {
                stopped.emplace(server_->Process());
            }
            a->Scan(kMilk);
            if (!hung) {
                a->ExpectFrame(kPrompt);  // the result: the pause stands
            }
            std::this_thread::sleep_for(kSettle);
            const Clock::time_point signalled = Clock::now();
            const auto status = gateway_->Stop(SIGTERM, milliseconds(5000));
            ASSERT_TRUE(status.has_value()) << "still running 5 s after SIGTERM";
            EXPECT_EQ(ExitCode(*status), 0) << DescribeStatus(*status);
            std::printf("mode %d, %s: ended %.1f ms after SIGTERM\n", mode,
                        hung ? "lookup hung" : "pausing",
                        MillisecondsBetween(signalled, Clock::now()));
            EXPECT_EQ(a->ReadUntilClosed(kPrompt), std::optional<std::string>(""));
        }
    }
}

TEST_F(GatewayTest, TwoLookupsOfAFarServerRunSideBySideWhenPausesAreOwn) {
    const DelayProxy proxy(PortOf(server_->Address()), milliseconds(150));
    GatewayConfig config;
    config.PausaPorTerminal = 1;
    config.Espera = 0;
    config.ServerAddress = proxy.Address();
    StartGateway(config);
    auto a = Connect();
    auto b = Connect();
    double latest = 0;
    // The first round opens the second worker's connection.
    for (int round = 0; round < 2; ++round) {
        const std::size_t asked = proxy.RequestTimes().size();
        const Clock::time_point sentA = a->Scan(kMilk);
        const Clock::time_point sentB = b->Scan(kBread);
        const Frame resultA = a->ExpectFrame(milliseconds(5000));
        const Frame resultB = b->ExpectFrame(milliseconds(5000));
        EXPECT_EQ(Hex(resultA.Bytes), Hex(ExpectedResultFrame(kMilkText, "$89.50", 0)));
        EXPECT_EQ(Hex(resultB.Bytes), Hex(ExpectedResultFrame(kBreadText, "$35.50", 0)));
        a->ExpectFrame(kPrompt);
        b->ExpectFrame(kPrompt);
        latest = std::max(MillisecondsBetween(sentA, resultA.At),
                          MillisecondsBetween(sentB, resultB.At));
        const auto requests = proxy.RequestTimes();
        ASSERT_GE(requests.size(), asked + 2);
        if (round == 1) {
            // Both lookups reached the server before it answered either.
            const auto answers = proxy.AnswerTimes();
            const auto firstAnswer =
                std::find_if(answers.begin(), answers.end(),
                             [&](Clock::time_point t) { return t > requests[asked]; });
            ASSERT_NE(firstAnswer, answers.end());
            EXPECT_LT(requests.back(), *firstAnswer);
        }
    }
    std::printf("two scans at once through a 300 ms server: the later answered in %.1f ms\n",
                latest);
}

TEST_F(GatewayTest, ATerminalThatLeavesDuringItsLookupDisturbsNoOne) {
    const DelayProxy proxy(PortOf(server_->Address()), milliseconds(100));
    for (const int mode : {0, 1}) {
        SCOPED_TRACE("PAUSA_POR_TERMINAL " + std::to_string(mode));
        GatewayConfig config;
        config.PausaPorTerminal = mode;
        config.Espera = 100;
        config.ServerAddress = proxy.Address();
        StartGateway(config);
        auto a = Connect();
        auto b = Connect();
        a->Scan(kMilk);
        a->Reset();
        b->Scan(kBread);
        EXPECT_EQ(Hex(b->ExpectFrame(milliseconds(5000)).Bytes),
                  Hex(ExpectedResultFrame(kBreadText, "$35.50", 0)));
        EXPECT_EQ(b->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(config));
        auto c = Connect();
        c->Scan(kMilk);
        EXPECT_EQ(Hex(c->ExpectFrame(milliseconds(5000)).Bytes),
                  Hex(ExpectedResultFrame(kMilkText, "$89.50", 0)));
        EXPECT_TRUE(gateway_->Process().Running());
    }
}

TEST_F(GatewayTest, TwoHundredTerminalsConnectingAtOnceAreAllGreetedAndAnswered) {
    // A store's terminals after its switch restarts.
    constexpr int kStore = 200;
    for (const int mode : {0, 1}) {
        SCOPED_TRACE("PAUSA_POR_TERMINAL " + std::to_string(mode));
        GatewayConfig config;
        config.PausaPorTerminal = mode;
        config.Espera = 0;
        StartGateway(config);
        std::vector<std::unique_ptr<Terminal>> store;
        for (int i = 0; i < kStore; ++i) {
            store.push_back(std::make_unique<Terminal>(gateway_->Port(), config.Tipo));
        }
        // A terminal whose connect the gateway's queue did not hold would be
        // greeted only after the system's retries, many seconds later.
        const Clock::time_point deadline = Clock::now() + milliseconds(10000);
        const auto left = [&] {
            return std::max(milliseconds(0),
                            std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
        };
        int greeted = 0;
        for (auto& terminal : store) {
            const auto frame = terminal->NextFrame(left());
            greeted += frame && frame->Bytes == ExpectedIdleFrame(config) ? 1 : 0;
        }
        EXPECT_EQ(greeted, kStore);
        for (auto& terminal : store) {
            terminal->Scan(kMilk);
        }
        int answered = 0;
        for (auto& terminal : store) {
            const auto result = terminal->NextFrame(milliseconds(5000));
            answered += result && result->Bytes == ExpectedResultFrame(kMilkText, "$89.50", 0);
            terminal->NextFrame(kPrompt);
        }
        EXPECT_EQ(answered, kStore);
    }
}

}  // namespace
}  // namespace zel::e2e
