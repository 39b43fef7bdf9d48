// HTTPS with certificates made for the test, the access key, and a second
// server to fall back on.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "Catalogue.h"
#include "server/CoData_Srv_Zel.h"

namespace zel {
namespace {

using test::RunningServer;

class Security : public test::OnEachStore {
protected:
    void SetUp() override {
        OnEachStore::SetUp();
        if (!IsSkipped()) {
            test::ExecSql(db_,
                          "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7501, "
                          "'Azúcar', 32.9)");
            ASSERT_TRUE(certs_.Ok()) << "openssl could not make the certificates";
        }
    }
    test::Certificates certs_;
};
INSTANTIATE_TEST_SUITE_P(Stores, Security, ::testing::Values(test::Store::Sqlite), test::StoreName);

TEST_P(Security, CertificatesAndKeys) {
    struct Case {
        const char* name;
        const char* certificate;  // the server's; null: plain HTTP
        const char* serverKey;    // null: none asked for
        bool https;               // how the gateway reaches it
        const char* ca;           // what the gateway trusts
        const char* clientKey;
        const char* error;  // null: the lookup is answered
    };
    const Case cases[] = {
        {"trusted certificate", "srv", nullptr, true, "ca.pem", nullptr, nullptr},
        {"unknown CA", "srv", nullptr, true, "otra-ca.pem", nullptr, "certificate verify failed"},
        {"wrong host name", "otro-nombre", nullptr, true, "ca.pem", nullptr,
         "certificate verify failed"},
        {"plain HTTP to an HTTPS port", "srv", nullptr, false, nullptr, nullptr, ": create: "},
        {"HTTPS to a plain port", nullptr, nullptr, true, "ca.pem", nullptr,
         "TLS handshake failed"},
        {"right key over HTTPS", "srv", "s3cr3t-clave", true, "ca.pem", "s3cr3t-clave", nullptr},
        {"right key over HTTP", nullptr, "s3cr3t-clave", false, nullptr, "s3cr3t-clave", nullptr},
        {"wrong key", nullptr, "s3cr3t-clave", false, nullptr, "s3cr3t-clavf",
         "access key refused (401)"},
        {"key missing", "srv", "s3cr3t-clave", true, "ca.pem", nullptr, "access key refused (401)"},
        {"longer key", nullptr, "s3cr3t", false, nullptr, "s3cr3t-clave",
         "access key refused (401)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunningServer server(db_, {}, [&](ServeOptions& o) {
            if (c.certificate) {
                o.TlsCert = certs_.File(std::string(c.certificate) + ".pem");
                o.TlsKey = certs_.File(std::string(c.certificate) + ".key");
            }
            o.AccessKey = c.serverKey ? c.serverKey : "";
        });
        ClientCredentials credentials;
        credentials.CaFile = c.ca ? certs_.File(c.ca) : "";
        credentials.AccessKey = c.clientKey ? c.clientKey : "";
        const std::string address = (c.https ? "https://" : "") + server.AddressText();
        try {
            const auto object = CoData_Srv_Zel::CreateRemote(address, {}, credentials);
            EXPECT_EQ(test::PriceOf(*object), 32.9);
            EXPECT_EQ(c.error, nullptr) << "answered";
        } catch (const ServerError& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
        if (c.serverKey && c.error) {
            // The line is written once the answer has gone.
            bool logged = false;
            for (int i = 0; i < 500 && !logged; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                for (const auto& line : server.LogLines()) {
                    logged = logged || (line.find(" 127.0.0.1:") != std::string::npos &&
                                        line.find(" 401 ") != std::string::npos);
                }
            }
            EXPECT_TRUE(logged);
        }
    }
}

TEST_P(Security, AServerThatCannotBeUsedFailsAtStart) {
    ServeOptions o;
    o.DbPath = db_;
    o.Listen = {"127.0.0.1", 0};
    o.TlsCert = certs_.File("srv.pem");
    o.TlsKey = certs_.File("otra-ca.key");  // not the certificate's key
    EXPECT_THROW(SrvZelServer{o}, std::runtime_error);
}

TEST_P(Security, TlsOffersForwardSecretAeadSuitesInTheServersOrder) {
    RunningServer server(db_, {}, [&](ServeOptions& o) {
        o.TlsCert = certs_.File("srv.pem");
        o.TlsKey = certs_.File("srv.key");
    });
    struct Case {
        const char* offered;  // the client's s_client arguments
        const char* cipher;   // what the handshake agrees on; null: it fails
    };
    const Case cases[] = {
        {"-tls1_3", "TLS_AES_256_GCM_SHA384"},
        {"-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384",
         "ECDHE-ECDSA-AES256-GCM-SHA384"},
        {"-tls1_2 -cipher ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-ECDSA-CHACHA20-POLY1305"},
        {"-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384", nullptr},  // CBC
        {"-tls1_2 -cipher AES128-GCM-SHA256:AES256-SHA", nullptr},  // no forward secrecy
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offered);
        const std::string out = certs_.File("s_client.txt");
        const std::string command = "openssl s_client -connect " + server.AddressText() + " " +
                                    c.offered + " </dev/null >" + out + " 2>&1";
        const int status = std::system(command.c_str());
        std::ifstream in(out);
        const std::string said((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (c.cipher == nullptr) {
            EXPECT_NE(status, 0) << said;
        } else {
            EXPECT_EQ(status, 0) << said;
            EXPECT_NE(said.find(std::string("Cipher is ") + c.cipher), std::string::npos) << said;
        }
    }
    // Debian names the command testssl.
    const std::string testssl = std::system("command -v testssl >/dev/null") == 0 ? "testssl"
                                : std::system("command -v testssl.sh >/dev/null") == 0
                                    ? "testssl.sh"
                                    : "";
    if (testssl.empty()) {
        GTEST_SKIP() << "testssl.sh is not installed";
    }
    // Protocols, suites and the known attacks (the test chain is self-signed).
    const std::string report = certs_.File("testssl.txt");
    std::system(
        (testssl + " --quiet --color 0 -p -s -U " + server.AddressText() + " >" + report + " 2>&1")
            .c_str());
    std::ifstream in(report);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(said.find("LUCKY13"), std::string::npos) << said;
    for (const char* flag : {"VULNERABLE", "potentially vulnerable", "NOT ok"}) {
        EXPECT_EQ(said.find(flag), std::string::npos) << said;
    }
}

TEST_P(Security, TlsConnectionsKeepTheLimits) {
    const auto tls = [&](ServeOptions& o) {
        o.TlsCert = certs_.File("srv.pem");
        o.TlsKey = certs_.File("srv.key");
    };
    // A short time limit for the clients that send nothing, the default one
    // for real exchanges: on a loaded machine a handshake and a 200 kB
    // request can take longer than the short one.
    RunningServer server(db_, {}, [&](ServeOptions& o) {
        tls(o);
        o.RequestTimeLimit = std::chrono::milliseconds(300);
    });
    RunningServer busy(db_, {}, tls);
    {
        // A handshake that does not come ends at the request's time limit.
        test::Client silent(server.Address());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(silent.ReadAll(), "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    {
        test::Client plain(server.Address());
        plain.Send("GET /v1/classes/x HTTP/1.1\r\n\r\n");
        EXPECT_EQ(plain.ReadAll(), "");
        EXPECT_TRUE(test::LogHas(server, "srv_zel: TLS handshake with 127.0.0.1:"));
    }
    // Requests and answers of many records, on one kept-alive connection.
    ClientCredentials credentials;
    credentials.CaFile = certs_.File("ca.pem");
    const auto object =
        CoData_Srv_Zel::CreateRemote("https://" + busy.AddressText(), {}, credentials);
    const std::string many =
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
        "LIMIT 20000) SELECT x, 'relleno' FROM c" +
        std::string(200'000, ' ');
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(object->AS_GetRecords("QueryMultiaProvider", many).Rows.size(), 20000u);
        EXPECT_EQ(test::PriceOf(*object), 32.9);
    }
}

class Fallback : public test::OnEachStore {};
INSTANTIATE_TEST_SUITE_P(Stores, Fallback, ::testing::ValuesIn(test::BOTH_STORES), test::StoreName);

TEST_P(Fallback, TheNextServerAnswersWhenTheFirstIsGone) {
    test::ExecSql(db_, "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7501, 'a', 32.9)");
    auto first = std::make_unique<RunningServer>(db_);
    RunningServer second(db_);
    // A port held bound but not listening: connecting to it is refused.
    const test::HeldPort held(false);
    const std::string closed = held.Address();
    // A dead address first: the handshake turns to the next.
    const auto object = CoData_Srv_Zel::CreateRemote(closed + ", " + first->AddressText() + "," +
                                                     second.AddressText());
    auto price = [&] { return test::PriceOf(*object); };
    EXPECT_EQ(price(), 32.9);
    first.reset();  // stopped while the gateway holds its connection
    EXPECT_EQ(price(), 32.9);
    EXPECT_EQ(price(), 32.9);
    bool secondAnswered = false;
    for (const auto& line : second.LogLines()) {
        secondAnswered =
            secondAnswered || line.find("POST /v1/BuscaPrecio 200") != std::string::npos;
    }
    EXPECT_TRUE(secondAnswered);
}

}  // namespace
}  // namespace zel
