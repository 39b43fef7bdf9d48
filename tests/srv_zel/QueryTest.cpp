// The query provider: the tax rows as the gateway asks for them, and every
// command that must be refused without changing anything.
#include <gtest/gtest.h>

#include "Catalogue.h"
#include "common/ServerNames.h"
#include "server/CoData_Srv_Zel.h"

namespace zel {
namespace {

using test::RunningServer;
using test::TempDir;

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

TEST(Query, TaxRowsComeWholeInTableOrder) {
    const std::vector<std::vector<double>> tables = {
        {16, 0, 5},
        {16, 0, 8, 3, 0, 10, 2, 26, 50, 1, 2, 3},  // twelve rows
        {},
        {7.5},
    };
    for (const auto& pcts : tables) {
        TempDir dir;
        const std::string db = dir.File("t.db");
        test::ExecSql(db, InsertTaxes(pcts));
        RunningServer server(db);
        const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
        const RowSet rows =
            object->AS_GetRecords(std::string(TAX_PROVIDER), std::string(TAX_COMMAND));
        ASSERT_EQ(rows.Columns.size(), 1u);
        EXPECT_EQ(rows.Columns[0].Name, "PCT");
        EXPECT_EQ(rows.Columns[0].Type, "float");
        std::vector<FieldValue> expected(pcts.begin(), pcts.end());
        EXPECT_EQ(Column(rows, 0), expected);
    }
}

TEST(Query, ColumnsDeclareTheirTypes) {
    TempDir dir;
    const std::string db = dir.File("t.db");
    test::ExecSql(db, "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7, 'Piñón', 1.5)");
    RunningServer server(db);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    const RowSet rows = object->AS_GetRecords(
        std::string(TAX_PROVIDER),
        "SELECT Codigo, Descrip, Precio1, Precio2, 1 + 1 AS Dos FROM Articulos");
    const std::vector<std::pair<std::string, std::string>> columns = {{"Codigo", "integer"},
                                                                      {"Descrip", "text"},
                                                                      {"Precio1", "float"},
                                                                      {"Precio2", "float"},
                                                                      {"Dos", "any"}};
    ASSERT_EQ(rows.Columns.size(), columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        EXPECT_EQ(rows.Columns[i].Name, columns[i].first);
        EXPECT_EQ(rows.Columns[i].Type, columns[i].second);
    }
    const std::vector<FieldValue> row = {std::int64_t{7}, std::string("Piñón"), 1.5,
                                         std::monostate{}, std::int64_t{2}};
    ASSERT_EQ(rows.Rows.size(), 1u);
    EXPECT_EQ(rows.Rows[0], row);
}

TEST(Query, RefusedCommandsChangeNothing) {
    TempDir dir;
    const std::string db = dir.File("t.db");
    test::ExecSql(db, InsertTaxes({16, 0, 5}) +
                          "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (1, 'a', 2);");
    const std::string before = test::Snapshot(db);
    QueryLimits limits;
    limits.MaxTime = std::chrono::milliseconds(200);
    limits.MaxRows = 5;
    RunningServer server(db, limits);
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    const std::string attached = dir.File("otra.db");
    struct Case {
        const char* provider;
        std::string command;
        const char* reason;
    };
    const Case cases[] = {
        {"QueryMultiaProvider", "DELETE FROM Articulos", "only reading"},
        {"QueryMultiaProvider", "UPDATE Articulos SET Precio1 = 0", "only reading"},
        {"QueryMultiaProvider", "INSERT INTO Impuestos VALUES (9, 1)", "only reading"},
        {"QueryMultiaProvider", "DROP TABLE Impuestos", "only reading"},
        {"QueryMultiaProvider", "CREATE TABLE t (x)", "only reading"},
        {"QueryMultiaProvider", "Select PCT From Impuestos; DELETE FROM Impuestos",
         "more than one statement"},
        {"QueryMultiaProvider", "SELECT 1; SELECT 2", "more than one statement"},
        {"QueryMultiaProvider", "SELECT 1; nonsense", "more than one statement"},
        {"QueryMultiaProvider", "ATTACH '" + attached + "' AS otra", "only reading"},
        {"QueryMultiaProvider", "PRAGMA journal_mode = DELETE", "only reading"},
        {"QueryMultiaProvider", "PRAGMA user_version = 5", "only reading"},
        {"QueryMultiaProvider", "PRAGMA table_info(Articulos)", "only reading"},
        {"QueryMultiaProvider", "BEGIN", "only reading"},
        {"QueryMultiaProvider", "VACUUM", "would change the database"},
        {"QueryMultiaProvider", "REINDEX", "REINDEX is not a query"},
        {"QueryMultiaProvider", "EXPLAIN SELECT 1", "EXPLAIN is not a query"},
        {"QueryMultiaProvider", "SELECT printf('%.*c', 1000000000, 'x')", "precision over"},
        {"QueryMultiaProvider", "SELECT format('%2000000d', 1)", "width or precision over"},
        {"QueryMultiaProvider", "", "holds no statement"},
        {"QueryMultiaProvider", " ; -- nada", "holds no statement"},
        {"QueryMultiaProvider", "SELECT * FROM NoHay", "no such table"},
        {"QueryMultiaProvider", "SELECT x'00ff'", "binary data"},
        {"QueryMultiaProvider", "SELECT 1e999", "not a finite number"},
        {"QueryMultiaProvider",
         "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c",
         "ran longer than 200 ms"},
        {"QueryMultiaProvider",
         "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 6) SELECT x FROM c",
         "more than 5 rows"},
        {"OtroProvider", "Select PCT From Impuestos", "unknown provider \"OtroProvider\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        try {
            object->AS_GetRecords(c.provider, c.command);
            ADD_FAILURE() << "ran";
        } catch (const ServerError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("AS_GetRecords: HTTP 400: "), std::string::npos) << what;
            EXPECT_NE(what.find(c.reason), std::string::npos) << what;
        }
    }
    EXPECT_EQ(test::Snapshot(db), before);
    EXPECT_FALSE(std::filesystem::exists(attached));

    // printf within the length limit is SQLite's own.
    EXPECT_EQ(object
                  ->AS_GetRecords(std::string(TAX_PROVIDER),
                                  "SELECT printf('%5.2f|%-3s|%.*c|%%', 3.14159, 'a', 3, 'x')")
                  .Rows,
              (std::vector<std::vector<FieldValue>>{{std::string(" 3.14|a  |xxx|%")}}));

    // A statement may end in a semicolon and a comment.
    for (const char* ok : {"Select PCT From Impuestos;", "Select PCT From Impuestos ; -- fin\n"}) {
        EXPECT_EQ(object->AS_GetRecords(std::string(TAX_PROVIDER), ok).Rows.size(), 3u) << ok;
    }
}

}  // namespace
}  // namespace zel
