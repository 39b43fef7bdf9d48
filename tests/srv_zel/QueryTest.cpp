// The query provider: the tax rows as the gateway asks for them, and every
// command that must be refused without changing anything.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Catalogue.h"
#include "common/ServerNames.h"
#include "server/CoData_Srv_Zel.h"
#include "srv_zel/CancelSignal.h"
#include "srv_zel/CatalogueStore.h"

namespace zel {
namespace {

using test::RunningServer;

std::vector<FieldValue> Column(const RowSet& rows, std::size_t c) {
    std::vector<FieldValue> values;
    for (const auto& r : rows.Rows) {
        values.push_back(r.at(c));
    }
    return values;
}

std::string InsertTaxes(const std::vector<double>& pcts) {
    std::string sql;
    for (std::size_t i = 0; i < pcts.size(); ++i) {
        sql += "INSERT INTO Impuestos (Numero, PCT) VALUES (" + std::to_string(i + 1) + ", " +
               std::to_string(pcts[i]) + ");";
    }
    return sql;
}

class Query : public test::OnEachStore {};
INSTANTIATE_TEST_SUITE_P(Stores, Query, ::testing::ValuesIn(test::BOTH_STORES), test::StoreName);

RowSet Taxes(const RunningServer& server) {
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    return object->AS_GetRecords(std::string(TAX_PROVIDER), std::string(TAX_COMMAND));
}

TEST_P(Query, TaxRowsComeWholeInTaxNumberOrder) {
    const std::vector<std::vector<double>> tables = {
        {16, 0, 5},
        {16, 0, 8, 3, 0, 10, 2, 26, 50, 1, 2, 3},  // twelve rows
        {},
        {7.5},
    };
    for (const auto& pcts : tables) {
        const test::TestCatalogue catalogue(GetParam());
        test::ExecSql(catalogue.Db(), InsertTaxes(pcts));
        RunningServer server(catalogue.Db());
        const RowSet rows = Taxes(server);
        ASSERT_EQ(rows.Columns.size(), 1u);
        EXPECT_EQ(rows.FindColumn(TAX_COLUMN), 0u) << rows.Columns[0].Name;
        EXPECT_EQ(rows.Columns[0].Type, "float");
        std::vector<FieldValue> expected(pcts.begin(), pcts.end());
        EXPECT_EQ(Column(rows, 0), expected);
    }
}

// Each store stops a query whose client has gone, whether it goes while the
// query runs or before it starts, and its session answers the next one.
TEST_P(Query, ACancelledQueryEndsAndItsSessionGoesOn) {
    const auto store = OpenCatalogueStore(db_);
    const auto session = store->OpenSession();
    QueryLimits limits;
    limits.MaxTime = std::chrono::seconds(20);  // far beyond the cancel
    for (const auto after : {std::chrono::milliseconds(50), std::chrono::milliseconds(0)}) {
        SCOPED_TRACE(after.count());
        CancelSignal gone;
        if (after.count() == 0) {
            gone.Cancel();
        }
        std::thread client([&] {
            std::this_thread::sleep_for(after);
            gone.Cancel();
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(session->Query(TAX_PROVIDER, test::ENDLESS_QUERY, limits, &gone),
                     QueryCancelled);
        EXPECT_LT(std::chrono::steady_clock::now() - start, limits.MaxTime / 2);
        client.join();
        EXPECT_TRUE(session->Healthy());
        EXPECT_EQ(session->Query(TAX_PROVIDER, "SELECT 1", limits, nullptr).Rows.size(), 1u);
    }
}

TEST_P(Query, TaxRowsKeepTheirOrderAfterUpdates) {
    // Written last tax first, then updated: where the rows lie is no guide.
    test::ExecSql(db_,
                  "INSERT INTO Impuestos (Numero, PCT) VALUES (3, 5);"
                  "INSERT INTO Impuestos (Numero, PCT) VALUES (2, 0);"
                  "INSERT INTO Impuestos (Numero, PCT) VALUES (1, 15);");
    RunningServer server(db_);
    test::ExecSql(db_, "UPDATE Impuestos SET PCT = 16 WHERE Numero = 1");
    EXPECT_EQ(Column(Taxes(server), 0), (std::vector<FieldValue>{16.0, 0.0, 5.0}));
    test::ExecSql(db_,
                  "UPDATE Impuestos SET PCT = PCT + 1 WHERE Numero = 2;"
                  "UPDATE Impuestos SET PCT = 8 WHERE Numero = 3;"
                  "UPDATE Impuestos SET PCT = 16 WHERE Numero = 1;");
    EXPECT_EQ(Column(Taxes(server), 0), (std::vector<FieldValue>{16.0, 1.0, 8.0}));
}

TEST_P(Query, ColumnsDeclareTheirTypes) {
    test::ExecSql(db_, "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7, 'Piñón', 1.5)");
    RunningServer server(db_);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    const RowSet rows = object->AS_GetRecords(
        std::string(TAX_PROVIDER),
        "SELECT Codigo, Descrip, Precio1, Precio2, 1 + 1 AS Dos FROM Articulos");
    // SQLite declares no type for an expression.
    const std::vector<std::pair<std::string, std::string>> columns = {
        {"Codigo", "integer"},
        {"Descrip", "text"},
        {"Precio1", "float"},
        {"Precio2", "float"},
        {"Dos", GetParam() == test::Store::Sqlite ? "any" : "integer"}};
    ASSERT_EQ(rows.Columns.size(), columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(rows.FindColumn(columns[i].first), i);
        EXPECT_EQ(rows.Columns[i].Type, columns[i].second);
    }
    const std::vector<FieldValue> row = {std::int64_t{7}, std::string("Piñón"), 1.5,
                                         std::monostate{}, std::int64_t{2}};
    ASSERT_EQ(rows.Rows.size(), 1u);
    EXPECT_EQ(rows.Rows[0], row);
}

TEST_P(Query, RefusedCommandsChangeNothing) {
    test::ExecSql(db_, InsertTaxes({16, 0, 5}) +
                           "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (1, 'a', 2);");
    const std::string before = test::Snapshot(db_);
    QueryLimits limits;
    limits.MaxTime = std::chrono::milliseconds(200);
    limits.MaxRows = 5;
    RunningServer server(db_, limits);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    const std::string attached = catalogue_.Dir().File("otra.db");
    const std::string copied = catalogue_.Dir().File("copia.csv");
    // The reason on each store; null: the command means nothing there.
    struct Case {
        const char* provider;
        std::string command;
        const char* sqlite;
        const char* postgres;
    };
    const char* const onlyReading = "only reading";
    const Case cases[] = {
        {"QueryMultiaProvider", "DELETE FROM Articulos", onlyReading, onlyReading},
        {"QueryMultiaProvider", "UPDATE Articulos SET Precio1 = 0", onlyReading, onlyReading},
        {"QueryMultiaProvider", "INSERT INTO Impuestos VALUES (9, 1)", onlyReading, onlyReading},
        {"QueryMultiaProvider", "DROP TABLE Impuestos", onlyReading, onlyReading},
        {"QueryMultiaProvider", "CREATE TABLE t (x)", onlyReading, onlyReading},
        {"QueryMultiaProvider", "Select PCT From Impuestos; DELETE FROM Impuestos",
         "more than one statement", "more than one statement"},
        {"QueryMultiaProvider", "SELECT 1; SELECT 2", "more than one statement",
         "more than one statement"},
        {"QueryMultiaProvider", "SELECT 1; nonsense", "more than one statement", "syntax error"},
        {"QueryMultiaProvider", "ATTACH '" + attached + "' AS otra", onlyReading, onlyReading},
        {"QueryMultiaProvider", "PRAGMA journal_mode = DELETE", onlyReading, onlyReading},
        {"QueryMultiaProvider", "PRAGMA user_version = 5", onlyReading, onlyReading},
        {"QueryMultiaProvider", "PRAGMA table_info(Articulos)", onlyReading, onlyReading},
        {"QueryMultiaProvider", "BEGIN", onlyReading, onlyReading},
        {"QueryMultiaProvider", "COMMIT", onlyReading, nullptr},
        {"QueryMultiaProvider", "VACUUM", "would change the database", onlyReading},
        {"QueryMultiaProvider", "REINDEX", "REINDEX is not a query", onlyReading},
        {"QueryMultiaProvider", "EXPLAIN SELECT 1", "EXPLAIN is not a query", onlyReading},
        {"QueryMultiaProvider", "SELECT printf('%.*c', 1000000000, 'x')", "precision over",
         nullptr},
        {"QueryMultiaProvider", "SELECT format('%2000000d', 1)", "width or precision over",
         nullptr},
        {"QueryMultiaProvider", "COPY Impuestos TO '" + copied + "'", nullptr, onlyReading},
        {"QueryMultiaProvider", "SET statement_timeout = 0", nullptr, onlyReading},
        {"QueryMultiaProvider", "/* x */ (LOCK TABLE Impuestos)", nullptr, onlyReading},
        {"QueryMultiaProvider", "WITH d AS (DELETE FROM Impuestos RETURNING *) SELECT * FROM d",
         nullptr, "would change the database"},
        {"QueryMultiaProvider", "SELECT * INTO Copia FROM Impuestos", nullptr,
         "would change the database"},
        {"QueryMultiaProvider", "SELECT pg_sleep(5)", nullptr, "ran longer than 200 ms"},
        {"QueryMultiaProvider", "SELECT pg_read_file('/etc/hostname')", nullptr,
         "permission denied"},
        {"QueryMultiaProvider", "SELECT lo_import('/etc/hostname')", nullptr, "query refused"},
        {"QueryMultiaProvider", "SELECT * FROM pg_authid", nullptr, "permission denied"},
        {"QueryMultiaProvider", "SELECT set_config('transaction_read_only', 'off', true)", nullptr,
         "query refused"},
        {"QueryMultiaProvider", "", "holds no statement", "holds no statement"},
        {"QueryMultiaProvider", " ; -- nada", "holds no statement", "holds no statement"},
        {"QueryMultiaProvider", "SELECT * FROM NoHay", "no such table", "does not exist"},
        {"QueryMultiaProvider", "SELECT x'00ff'", "binary data", nullptr},
        {"QueryMultiaProvider", "SELECT '\\x00ff'::bytea", nullptr, "binary data"},
        {"QueryMultiaProvider", "SELECT 1e999", "not a finite number", nullptr},
        {"QueryMultiaProvider",
         "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c",
         "ran longer than 200 ms", "ran longer than 200 ms"},
        {"QueryMultiaProvider",
         "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 6) SELECT x FROM c",
         "more than 5 rows", nullptr},
        {"QueryMultiaProvider",
         "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT x FROM c", nullptr,
         "more than 5 rows"},
        {"OtroProvider", "Select PCT From Impuestos", "unknown provider \"OtroProvider\"",
         "unknown provider \"OtroProvider\""},
    };
    for (const auto& c : cases) {
        const char* reason = GetParam() == test::Store::Sqlite ? c.sqlite : c.postgres;
        if (reason == nullptr) {
            continue;
        }
        SCOPED_TRACE(c.command);
        try {
            object->AS_GetRecords(c.provider, c.command);
            ADD_FAILURE() << "ran";
        } catch (const ServerError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("AS_GetRecords: HTTP 400: "), std::string::npos) << what;
            EXPECT_NE(what.find(reason), std::string::npos) << what;
        }
    }
    EXPECT_EQ(test::Snapshot(db_), before);
    EXPECT_FALSE(std::filesystem::exists(attached));
    EXPECT_FALSE(std::filesystem::exists(copied));

    // printf within the length limit is SQLite's own.
    if (GetParam() == test::Store::Sqlite) {
        EXPECT_EQ(object
                      ->AS_GetRecords(std::string(TAX_PROVIDER),
                                      "SELECT printf('%5.2f|%-3s|%.*c|%%', 3.14159, 'a', 3, 'x')")
                      .Rows,
                  (std::vector<std::vector<FieldValue>>{{std::string(" 3.14|a  |xxx|%")}}));
    }

    // A statement may end in a semicolon and a comment.
    for (const char* ok :
         {"Select PCT From Impuestos;", "Select PCT From Impuestos ; -- fin\n",
          GetParam() == test::Store::Sqlite ? "SELECT PCT FROM Impuestos" : "TABLE Impuestos"}) {
        EXPECT_EQ(object->AS_GetRecords(std::string(TAX_PROVIDER), ok).Rows.size(), 3u) << ok;
    }
}

}  // namespace
}  // namespace zel
