// The application server going away and coming back, and start-ups that
// cannot succeed: what the terminals see and what the gateway says.
#include <signal.h>

#include <thread>

#include <gtest/gtest.h>

#include "Catalogue.h"
#include "GatewayFixture.h"
#include "gateway/Constants.h"

namespace zel::e2e {
namespace {

using std::chrono::milliseconds;

// Whether srv_zel's log tells of an answered lookup within 5 s (a line is
// written once its answer has gone).
bool AnsweredALookup(SrvZel& server) {
    for (int i = 0; i < 500; ++i) {
        if (ReadWholeFile(server.Process().StandardError()).find("POST /v1/BuscaPrecio 200") !=
            std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

// The gateway ends with status 1, having said on stderr that it found no
// server and, on the one line after, why (`cause` a part of it), never
// listening.
void ExpectFailedStartUp(Gateway& gateway, const std::string& cause) {
    const auto status = gateway.Process().WaitExit(std::chrono::seconds(15));
    ASSERT_TRUE(status.has_value()) << "still running; stderr: " << gateway.Stderr();
    EXPECT_EQ(ExitCode(*status), 1) << DescribeStatus(*status);

    const std::string err = gateway.Stderr();
    const std::string first = "Error: No se encontro Srv_Zel.exe en ejecuci\xC3\xB3n\n";
    ASSERT_TRUE(err.starts_with(first)) << err;
    const std::string second = err.substr(first.size());
    EXPECT_NE(second.find(cause), std::string::npos) << second;
    EXPECT_TRUE(second.ends_with("\n") && second.find('\n') == second.size() - 1)
        << "one cause line expected: " << second;
    EXPECT_EQ(ReadWholeFile(gateway.Process().StandardError()).find(PORT_REPORT_START),
              std::string::npos)
        << "it never listened";
}

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
        ExpectFailedStartUp(gateway, c.cause);
        if (holder) {
            holder.reset();
            EXPECT_FALSE(SomethingListens(config.Port));
        }
    }
}

TEST_F(GatewayTest, TheServersCertificateAndTheAccessKeyDecideTheStartUp) {
    const test::Certificates certs;
    ASSERT_TRUE(certs.Ok()) << "openssl could not make the certificates";
    const std::string key = dir_.Write("clave", "s3cr3t-clave\n");
    SrvZel server(dir_, dir_.File("tienda.db"),
                  {"--tls-cert", certs.File("srv.pem"), "--tls-key", certs.File("srv.key"),
                   "--key-file", key});
    struct Case {
        std::string name;
        std::string ca;
        std::string key;
        std::string cause;  // empty: the gateway starts
    };
    const Case cases[] = {
        {"a CA that did not sign it", "otra-ca.pem", "s3cr3t-clave", "certificate verify failed"},
        {"a wrong access key", "ca.pem", "s3cr3t-clavf", "access key refused (401)"},
        {"the right CA and key", "ca.pem", "s3cr3t-clave", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GatewayConfig config;
        config.ServerAddress = "https://" + server.Address();
        config.Ca = certs.File(c.ca);
        config.ClaveArchivo = dir_.Write("clave-pasarela", c.key + "\n");
        if (!c.cause.empty()) {
            Gateway gateway(dir_, config);
            ExpectFailedStartUp(gateway, c.cause);
            continue;
        }
        StartGateway(config);
        auto terminal = Connect();
        terminal->Scan(kMilk);
        EXPECT_EQ(Hex(terminal->ExpectFrame(kPrompt).Bytes),
                  Hex(ExpectedResultFrame(kMilkText, "$89.50", 0)));
    }
}

// Two servers on one catalogue, both named in [SRV_ZEL] IP.
class TwoServers : public GatewayTest, public ::testing::WithParamInterface<test::Store> {
protected:
    void SetUp() override {}  // no server of the fixture's own
};
INSTANTIATE_TEST_SUITE_P(Stores, TwoServers, ::testing::ValuesIn(test::BOTH_STORES),
                         test::StoreName);

TEST_P(TwoServers, TheSecondAnswersOnceTheFirstIsKilled) {
    const test::TestCatalogue catalogue(GetParam());
    if (!catalogue.Available()) {
        GTEST_SKIP() << "no PostgreSQL test cluster ($ZEL_TEST_PG is not set)";
    }
    ImportCatalogue(dir_, catalogue.Db(), TestArticles(), TestTaxes());
    for (const int mode : {0, 1}) {
        SCOPED_TRACE("PAUSA_POR_TERMINAL " + std::to_string(mode));
        SrvZel first(dir_, catalogue.Db());
        SrvZel second(dir_, catalogue.Db());
        GatewayConfig config;
        config.PausaPorTerminal = mode;
        config.Espera = 100;
        config.ServerAddress = first.Address() + "," + second.Address();
        StartGateway(config);
        auto a = Connect();
        auto b = Connect();
        // Killed between the scans of the first and the last round, and with
        // the middle round's on their way.
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            a->Scan(kMilk);
            b->Scan(kBread);
            if (round == 1) {
                first.Kill();
            }
            EXPECT_EQ(Hex(a->ExpectFrame(kPrompt).Bytes),
                      Hex(ExpectedResultFrame(kMilkText, "$89.50", 0)));
            EXPECT_EQ(Hex(b->ExpectFrame(kPrompt).Bytes),
                      Hex(ExpectedResultFrame(kBreadText, "$35.50", 0)));
            EXPECT_EQ(a->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(config));
            EXPECT_EQ(b->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(config));
        }
        EXPECT_TRUE(AnsweredALookup(first)) << "the gateway began on the first";
        EXPECT_TRUE(AnsweredALookup(second));
        EXPECT_TRUE(gateway_->Process().Running());
    }
}

}  // namespace
}  // namespace zel::e2e
