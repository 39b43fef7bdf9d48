// The application server going away and coming back, and start-ups that
// cannot succeed: what the terminals see and what the gateway says.
#include <signal.h>

#include <gtest/gtest.h>

#include "GatewayFixture.h"
#include "gateway/Constants.h"

namespace zel::e2e {
namespace {

using std::chrono::milliseconds;

TEST_F(GatewayTest, ScansGoUnansweredWhileTheServerIsDownAndAreAnsweredOnceItReturns) {
    GatewayConfig config;
    config.Espera = 100;
    StartGateway(config);
    auto early = Connect();

    server_->Kill();
    early->Scan(kMilk);
    EXPECT_EQ(Hex(early->ReadFor(milliseconds(800))), "") << "answered with the server down";

    // The gateway itself goes on: a terminal that connects now is greeted.
    auto late = Connect();
    late->Scan(kBread);
    EXPECT_EQ(Hex(late->ReadFor(milliseconds(500))), "");

    server_->Restart();  // the same address
    for (Terminal* terminal : {early.get(), late.get()}) {
        terminal->Scan(kMilk);
        EXPECT_EQ(Hex(terminal->ExpectFrame(kPrompt).Bytes),
                  Hex(ExpectedResultFrame(kMilkText, "$89.50", 0)));
        EXPECT_EQ(terminal->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(config));
    }
    EXPECT_TRUE(gateway_->Process().Running());
}

TEST_F(GatewayTest, AFailedStartUpSaysWhyEndsWithStatusOneAndLeavesNothingListening) {
    struct Case {
        std::string name;
        bool serverRunning;
        bool portTaken;
        std::string cause;  // a part of the second line
    };
    const Case cases[] = {
        {"no server", false, false, ": create: connection refused"},
        {"the terminal port taken", true, true, "on API 'bind', port "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GatewayConfig config;
        const PortHolder refusing(0, false);
        config.ServerAddress =
            c.serverRunning ? server_->Address() : "127.0.0.1:" + std::to_string(refusing.Port());
        std::optional<PortHolder> holder;
        if (c.portTaken) {
            holder.emplace();
            config.Port = holder->Port();
        }
        Gateway gateway(dir_, config);
        const auto status = gateway.Process().WaitExit(std::chrono::seconds(15));
        ASSERT_TRUE(status.has_value()) << "still running; stderr: " << gateway.Stderr();
        EXPECT_EQ(ExitCode(*status), 1) << DescribeStatus(*status);

        const std::string err = gateway.Stderr();
        const std::string first = "Error: No se encontro Srv_Zel.exe en ejecuci\xC3\xB3n\n";
        ASSERT_TRUE(err.starts_with(first)) << err;
        const std::string cause = err.substr(first.size());
        EXPECT_NE(cause.find(c.cause), std::string::npos) << cause;
        EXPECT_TRUE(cause.ends_with("\n") && cause.find('\n') == cause.size() - 1)
            << "one cause line expected: " << cause;

        EXPECT_EQ(ReadWholeFile(gateway.Process().StandardError()).find(PORT_REPORT_START),
                  std::string::npos)
            << "it never listened";
        if (holder) {
            holder.reset();
            EXPECT_FALSE(SomethingListens(config.Port));
        }
    }
}

}  // namespace
}  // namespace zel::e2e
