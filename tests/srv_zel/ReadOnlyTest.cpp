// srv_zel on a read-only PostgreSQL database, as a store's standby is: served
// as it is when it holds what serving needs, never written to. The database
// is made read-only by default_transaction_read_only here; the end-to-end
// replication test runs the same on a real standby.
#include <sstream>

#include <gtest/gtest.h>

#include "Catalogue.h"
#include "server/CoData_Srv_Zel.h"
#include "srv_zel/Cli.h"

namespace zel {
namespace {

// Puts one article in, runs `sql` (may be empty), then makes the database
// read-only for every new session.
void MakeReadOnly(const std::string& db, const std::string& sql) {
    test::ExecSql(
        db, "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7501, 'LECHE', 32.9); " +
                sql +
                "; DO $$ BEGIN EXECUTE format('ALTER DATABASE %I SET "
                "default_transaction_read_only = on', current_database()); END $$");
}

#define SKIP_WITHOUT_CLUSTER(catalogue)                                         \
    if (!(catalogue).Available()) {                                             \
        GTEST_SKIP() << "no PostgreSQL test cluster ($ZEL_TEST_PG is not set)"; \
    }

TEST(ReadOnly, ServedAsItIsOrRefusedNamingWhatIsMissing) {
    SKIP_WITHOUT_CLUSTER(test::TestCatalogue(test::Store::Postgres));
    struct Case {
        const char* name;
        const char* sql;
        const char* lacks;  // empty: served
    };
    const Case cases[] = {
        {"the whole catalogue", "", ""},
        {"no Articulos", "DROP TABLE Articulos", "lacks: table Articulos."},
        {"no query role", "DROP OWNED BY srv_zel_query; DROP ROLE srv_zel_query",
         "lacks: role srv_zel_query."},
        {"the query role may not read", "REVOKE SELECT ON Impuestos FROM srv_zel_query",
         "lacks: SELECT on Articulos and Impuestos for role srv_zel_query."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::TestCatalogue catalogue(test::Store::Postgres);
        const std::string& db = catalogue.Db();
        MakeReadOnly(db, c.sql);
        const std::string before = test::Snapshot(db);
        if (*c.lacks == '\0') {
            test::RunningServer server(db);
            EXPECT_EQ(test::PriceOf(*CoData_Srv_Zel::CreateRemote(server.AddressText())), 32.9);
        } else {
            try {
                test::RunningServer server(db);
                ADD_FAILURE() << "served a catalogue that lacks " << c.lacks;
            } catch (const std::exception& e) {
                EXPECT_NE(std::string(e.what()).find(c.lacks), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find("at the head office"), std::string::npos);
            }
        }
        EXPECT_EQ(test::Snapshot(db), before) << "something was created";
    }
}

TEST(ReadOnly, ImportIsRefusedBeforeAnythingIsRead) {
    const test::TestCatalogue catalogue(test::Store::Postgres);
    SKIP_WITHOUT_CLUSTER(catalogue);
    const std::string& db_ = catalogue.Db();
    MakeReadOnly(db_, "");
    const std::string before = test::Snapshot(db_);
    std::ostringstream out, err;
    const int status =
        SrvZelMain({"import", "--db", db_, "--articles", "/no/such/file.csv"}, out, err);
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.str().find("is read-only (transaction_read_only): nothing was written. Write "
                             "to the head office's primary database"),
              std::string::npos)
        << err.str();
    EXPECT_EQ(test::Snapshot(db_), before);
}

}  // namespace
}  // namespace zel
