// BuscaPrecio, the connection object and the request log, against srv_zel
// serving each store on loopback.
#include <gtest/gtest.h>

#include <thread>

#include "Catalogue.h"
#include "common/ServerNames.h"
#include "common/Text.h"
#include "money/Unicode.h"
#include "server/CoData_Srv_Zel.h"
#include "server/TDCOMConnection.h"

namespace zel {
namespace {

using test::RunningServer;

// Article 7501000111206 has a distinct price on each of the eight lists;
// 7501 has a price on list 1 only.
const char* const ARTICLES = R"sql(
INSERT INTO Articulos (Codigo, Descrip, Precio1, Precio2, Precio3, Precio4, Precio5, Precio6,
                       Precio7, Precio8, Imps_Act, Ban_Imps, Tiene_Ofer, Fec_ini_ofer,
                       Fec_fin_ofer, Pct_ofer, Mult, Bans_Art, Precio_Sug)
VALUES (7501000111206, 'Café de olla molido 500 g', 10.5, 20.25, 30, 40.125, 50, 60.75, 70,
        80.5, -32768, -128, 1, 45000.5, 45100, 12.5, 2.5, -2147483648, 99.99);
INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7501, 'Azúcar', 32.9);
INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (9999999999999, 'Trece nueves', 1);
INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (0, 'Cero', 2);
)sql";

// A lookup as the gateway sends it, its trace line in Descrip.
BuscaPrecioCall Find(IData_Srv_Zel& server, double code, std::int8_t list) {
    return test::LookUp(server, code, list, "2 55 53 48 49 3 ");
}

class SrvZel : public test::OnEachStore {
protected:
    void SetUp() override {
        OnEachStore::SetUp();
        if (!IsSkipped()) {
            test::ExecSql(db_, ARTICLES);
        }
    }
};
INSTANTIATE_TEST_SUITE_P(Stores, SrvZel, ::testing::ValuesIn(test::BOTH_STORES), test::StoreName);

TEST_P(SrvZel, EveryPriceListGivesItsOwnPrice) {
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    const double prices[] = {10.5, 20.25, 30, 40.125, 50, 60.75, 70, 80.5};
    for (std::int8_t list = 0; list < 8; ++list) {
        const BuscaPrecioCall l = Find(*object, 7501000111206.0, list);
        EXPECT_EQ(l.Result, 1) << int(list);
        EXPECT_EQ(l.Precio, prices[list]) << int(list);
    }
}

TEST_P(SrvZel, FoundGivesEveryOutputFromTheRow) {
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    const BuscaPrecioCall l = Find(*object, 7501000111206.0, 0);
    EXPECT_EQ(l.Result, 1);
    EXPECT_EQ(l.Codigo, 7501000111206.0);
    EXPECT_EQ(l.Descrip, "Café de olla molido 500 g");
    EXPECT_EQ(l.Imps_Act, -32768);
    EXPECT_EQ(l.Ban_Imps, -128);
    EXPECT_EQ(l.Tiene_Ofer, 1);
    EXPECT_EQ(l.Fec_ini_ofer, 45000.5);
    EXPECT_EQ(l.Fec_fin_ofer, 45100.0);
    EXPECT_EQ(l.Pct_ofer, 12.5);
    EXPECT_EQ(l.Mult, 2.5);
    EXPECT_EQ(l.Bans_Art, -2147483648);
    EXPECT_EQ(l.Precio_Sug, 99.99);
}

TEST_P(SrvZel, NotFoundGivesZeroOutputs) {
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    struct Case {
        double code;
        std::int8_t list;
        std::int8_t result;
    };
    const Case cases[] = {
        {7501, 0, 1},  {7501, 1, 0},  // no price on list 2
        {7502, 0, 0},  {12.5, 0, 0},
        {-1, 0, 0},    {1e13, 0, 0},
        {1e300, 0, 0}, {9999999999999.0, 0, 1},
        {0, 0, 1},     {7501.000000000001, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const BuscaPrecioCall l = Find(*object, c.code, c.list);
        EXPECT_EQ(l.Result, c.result);
        EXPECT_EQ(l.Codigo, c.code);
        if (c.result == 0) {
            EXPECT_EQ(l.Precio, 0.0);
            EXPECT_EQ(l.Descrip, "");
            EXPECT_EQ(l.Imps_Act, 0);
            EXPECT_EQ(l.Ban_Imps, 0);
            EXPECT_EQ(l.Bans_Art, 0);
            EXPECT_EQ(l.Mult, 1.0);  // returned as it came
        }
    }
}

TEST_P(SrvZel, APriceListThatDoesNotExistIsAnError) {
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    for (const std::int8_t list : {std::int8_t{8}, std::int8_t{-1}, std::int8_t{127}}) {
        try {
            Find(*object, 7501, list);
            ADD_FAILURE() << "accepted list " << int(list);
        } catch (const ServerError& e) {
            EXPECT_NE(std::string(e.what()).find("BuscaPrecio: HTTP 400: No_Precio " +
                                                 std::to_string(list) + " names no price list"),
                      std::string::npos)
                << e.what();
        }
    }
}

TEST_P(SrvZel, DescriptionsRoundTripWhole) {
    const std::string descriptions[] = {
        "Añejo ÁÉÍÓÚ áéíóú Üü Ññ ¿¡ — canasta navideña con turrón, nueces, ponche y sidra",
        "Emoji fuera del plano básico: 😀 y 𝄞",
        "",
    };
    std::int64_t code = 100;
    for (const auto& d : descriptions) {
        test::ExecSql(db_, "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (" +
                               std::to_string(++code) + ", '" + d + "', 1)");
    }
    EXPECT_EQ(DecodeUtf8(descriptions[0]).size(), 80u);
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    code = 100;
    for (const auto& d : descriptions) {
        EXPECT_EQ(Find(*object, static_cast<double>(++code), 0).Descrip, d);
    }
}

TEST_P(SrvZel, BadValuesInTheDatabaseAreAServerError) {
    // A catalogue written by another tool, without the width checks.
    test::ExecSql(db_, GetParam() == test::Store::Sqlite ? R"sql(
        CREATE TABLE Otra AS SELECT * FROM Articulos;
        DROP TABLE Articulos;
        CREATE TABLE Articulos AS SELECT * FROM Otra WHERE 0;
    )sql"
                                                         : R"sql(
        DELETE FROM Articulos;
        ALTER TABLE Articulos DROP CONSTRAINT articulos_imps_act_check;
        ALTER TABLE Articulos ALTER COLUMN Precio1 TYPE TEXT;
    )sql");
    test::ExecSql(db_, R"sql(
        INSERT INTO Articulos (Codigo, Descrip, Precio1, Imps_Act, Mult) VALUES (1, 'a', 1, 40000, 1);
        INSERT INTO Articulos (Codigo, Descrip, Precio1, Imps_Act, Mult) VALUES (2, 'b', 'caro', 0, 1);
    )sql");
    const bool sqlite = GetParam() == test::Store::Sqlite;
    if (sqlite) {  // a PostgreSQL text column holds no binary data
        test::ExecSql(db_,
                      "INSERT INTO Articulos (Codigo, Descrip, Precio1, Imps_Act, Mult) "
                      "VALUES (3, x'C3', 1, 0, 1)");
    }
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    const std::pair<double, const char*> cases[] = {
        {1, "http 500: article 1: imps_act holds 40000, outside 16 bits"},
        {2, "http 500: article 2: precio1 holds text"},
        {3, "http 500: article 3: descrip holds binary data"}};
    for (const auto& [code, error] : cases) {
        if (code == 3 && !sqlite) {
            continue;
        }
        try {
            Find(*object, code, 0);
            ADD_FAILURE() << code;
        } catch (const ServerError& e) {
            // PostgreSQL folds the column names to lower case.
            EXPECT_NE(AsciiLower(e.what()).find(error), std::string::npos) << e.what();
        }
    }
}

TEST_P(SrvZel, ConnectionCreatesItsObjectThenRunsAfterConnect) {
    RunningServer server(db_);
    TDCOMConnection connection;
    connection.SetServerName(std::string(SERVER_CLASS));
    connection.SetComputerName(server.AddressText());
    int calls = 0;
    connection.AfterConnect = [&](TDCOMConnection& sender) {
        ++calls;
        EXPECT_EQ(&sender, &connection);
        EXPECT_TRUE(sender.Connected());
        EXPECT_EQ(sender.GetRecords(std::string(TAX_PROVIDER), std::string(TAX_COMMAND))
                      .FindColumn(TAX_COLUMN),
                  0u);
    };
    connection.SetConnected(true);
    EXPECT_EQ(calls, 1);
    connection.SetConnected(true);  // already up: nothing happens
    EXPECT_EQ(calls, 1);
    connection.SetConnected(false);
    EXPECT_FALSE(connection.Connected());
    EXPECT_EQ(connection.AppServer(), nullptr);
    EXPECT_THROW(connection.GetRecords(std::string(TAX_PROVIDER), std::string(TAX_COMMAND)),
                 ServerError);
}

TEST_P(SrvZel, ConnectionFailures) {
    RunningServer server(db_);
    {
        // Another class at the address: not created, AfterConnect never runs.
        TDCOMConnection connection;
        connection.SetServerName("Otro.Servidor");
        connection.SetComputerName(server.AddressText());
        bool ran = false;
        connection.AfterConnect = [&](TDCOMConnection&) { ran = true; };
        try {
            connection.SetConnected(true);
            ADD_FAILURE() << "connected";
        } catch (const ServerError& e) {
            EXPECT_NE(std::string(e.what()).find("HTTP 404: no class \"Otro.Servidor\" here"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_FALSE(ran);
        EXPECT_FALSE(connection.Connected());
    }
    {
        // AfterConnect fails: the failure reaches the caller, the object stays
        // until the connection is dropped.
        TDCOMConnection connection;
        connection.SetServerName(std::string(SERVER_CLASS));
        connection.SetComputerName(server.AddressText());
        connection.AfterConnect = [](TDCOMConnection&) { throw std::runtime_error("listener"); };
        EXPECT_THROW(connection.SetConnected(true), std::runtime_error);
        EXPECT_TRUE(connection.Connected());
        connection.SetConnected(false);
        EXPECT_FALSE(connection.Connected());
    }
}

TEST_P(SrvZel, ALostDatabaseConnectionFailsOneRequestThenIsReopened) {
    if (GetParam() != test::Store::Postgres) {
        GTEST_SKIP() << "a SQLite file has no connection to lose";
    }
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    EXPECT_EQ(Find(*object, 7501, 0).Result, 1);
    test::ExecSql(db_,
                  "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                  "WHERE datname = current_database() AND pid <> pg_backend_pid()");
    try {
        Find(*object, 7501, 0);
        ADD_FAILURE() << "answered on a lost connection";
    } catch (const ServerError& e) {
        EXPECT_NE(std::string(e.what()).find("HTTP 500: database \"zel_"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(Find(*object, 7501, 0).Precio, 32.9);
}

TEST_P(SrvZel, SeveralClientsAtOnce) {
    RunningServer server(db_);
    std::vector<std::thread> clients;
    std::atomic<int> right{0};
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&] {
            const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
            for (int i = 0; i < 50; ++i) {
                const BuscaPrecioCall l =
                    Find(*object, 7501000111206.0, static_cast<std::int8_t>(i % 8));
                right += (l.Result == 1 && l.Precio > 0) ? 1 : 0;
            }
        });
    }
    for (auto& c : clients) {
        c.join();
    }
    EXPECT_EQ(right, 200);
}

TEST_P(SrvZel, LogsOneLinePerRequest) {
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    Find(*object, 7501, 0);
    EXPECT_THROW(Find(*object, 7501, 9), ServerError);
    std::vector<std::string> lines;
    for (int i = 0; i < 100 && lines.size() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        lines = server.LogLines();
    }
    ASSERT_EQ(lines.size(), 3u);
    const char* const expected[] = {" GET /v1/classes/Srv_Zel.Data_Srv_Zel 200 ",
                                    " POST /v1/BuscaPrecio 200 ", " POST /v1/BuscaPrecio 400 "};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NE(lines[i].find(" 127.0.0.1:"), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
    }
    EXPECT_NE(lines[2].find("us error: No_Precio 9 names no price list"), std::string::npos);
}

TEST(RequestLog, LineLayout) {
    using namespace std::chrono;
    const auto when = system_clock::time_point(seconds(1714564800) + microseconds(123456));
    struct Case {
        const char* client;
        const char* path;
        const char* line;
    };
    const Case cases[] = {
        {"127.0.0.1", "/v1/BuscaPrecio",
         "2024-05-01T12:00:00.123456Z 127.0.0.1:50122 POST /v1/BuscaPrecio 200 143us"},
        {"::1", "/v1/BuscaPrecio",
         "2024-05-01T12:00:00.123456Z [::1]:50122 POST /v1/BuscaPrecio 200 143us"},
        {"10.0.0.9", "/a\nb\x1b",
         "2024-05-01T12:00:00.123456Z 10.0.0.9:50122 POST /a?b? 200 143us"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            FormatRequestLogLine(when, c.client, 50122, "POST", c.path, 200, microseconds(143)),
            c.line);
    }
    // Leading zeros keep every field its width.
    EXPECT_EQ(FormatRequestLogLine(system_clock::time_point(seconds(1704070861) + microseconds(42)),
                                   "127.0.0.1", 7, "GET", "/", 404, microseconds(0)),
              "2024-01-01T01:01:01.000042Z 127.0.0.1:7 GET / 404 0us");
}

}  // namespace
}  // namespace zel
