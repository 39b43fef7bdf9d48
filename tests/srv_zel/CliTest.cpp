// The srv_zel command line, and the demo catalogue it writes.
#include <sstream>

#include <gtest/gtest.h>

#include "Catalogue.h"
#include "srv_zel/ArticleLookup.h"
#include "srv_zel/Cli.h"
#include "srv_zel/DemoCatalogue.h"
#include "srv_zel/QueryProvider.h"
#include "srv_zel/Schema.h"

namespace zel {
namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun Cli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = SrvZelMain(args, out, err);
    return {status, out.str(), err.str()};
}

TEST(Cli, HelpAndWrongCommandLines) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* text;  // in stdout for status 0, in stderr otherwise
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: srv_zel COMMAND"},
        {{"serve", "--help"}, 0, "Usage: srv_zel serve --db FILE [--listen HOST:PORT]"},
        {{"import", "-h"}, 0, "Usage: srv_zel import --db FILE [--articles A.csv]"},
        {{"init-demo", "--help"}, 0, "Usage: srv_zel init-demo --db FILE"},
        {{}, 2, "Usage: srv_zel COMMAND"},
        {{"borrar"}, 2, "unknown command 'borrar'"},
        {{"serve"}, 2, "srv_zel serve: --db FILE is required"},
        {{"serve", "--db", "x.db", "--listen", "host:abc"}, 2, "port \"abc\" is not a number"},
        {{"serve", "--db", "x.db", "--threads", "0"}, 2, "--threads \"0\" is not a number from 1"},
        {{"serve", "--db"}, 2, "option --db needs a value"},
        {{"--version"}, 0, "srv_zel 3."},
        {{"import", "--help"}, 0, "--delimiter C"},
        {{"import", "--db", "x.db", "--taxes", "t.csv", "--delimiter", "ab"},
         2,
         "--delimiter \"ab\" is not one character"},
        {{"import", "--db", "x.db"}, 2, "nothing to import"},
        {{"import", "--db", "x.db", "--bogus", "1"}, 2, "unknown option '--bogus'"},
        {{"init-demo", "--db=a", "--db=b"}, 2, "option --db given twice"},
    };
    for (const auto& c : cases) {
        const CliRun r = Cli(c.args);
        SCOPED_TRACE(r.out + r.err);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.text), std::string::npos);
    }
}

class CliOnEachStore : public test::OnEachStore {};
INSTANTIATE_TEST_SUITE_P(Stores, CliOnEachStore, ::testing::ValuesIn(test::BOTH_STORES),
                         test::StoreName);

TEST_P(CliOnEachStore, ImportReportsCountsOrTheBadLineAndChangesNothing) {
    const test::TempDir& dir = catalogue_.Dir();
    const std::string& db = db_;
    ASSERT_EQ(Cli({"init-demo", "--db", db}).status, 0);
    const std::string good = dir.Write("a.csv", "codigo,descripcion,precio1\n1,a,1\n2,b,2\n");
    const std::string bad = dir.Write("b.csv", "codigo,descripcion,precio1\n3,c,x\n");
    const std::string taxes = dir.Write("t.csv", "pct\n16\n0\n8\n");

    CliRun r = Cli({"import", "--db", db, "--articles", good, "--taxes", taxes});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("imported 2 articles from " + good), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("imported 3 taxes from " + taxes), std::string::npos) << r.out;

    // A port another program listens on gives the system's reason.
    const test::HeldPort taken(true);
    r = Cli({"serve", "--db", db, "--listen", taken.Address()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot listen on " + taken.Address() + ": Address already in use"),
              std::string::npos)
        << r.err;

    const std::string before = test::Snapshot(db);
    r = Cli({"import", "--db", db, "--taxes", taxes, "--articles", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "srv_zel: " + bad + ":2: precio1 \"x\" is not a number\n");
    EXPECT_EQ(test::Snapshot(db), before);
}

TEST(Demo, CatalogueHasWhatTheDemoShows) {
    EXPECT_EQ(Ean13CheckDigit(750100011120), 6);
    EXPECT_EQ(Ean13CheckDigit(400638133393), 1);

    test::TempDir dir;
    const std::string db = dir.File("demo.db");
    const CliRun r = Cli({"init-demo", "--db", db});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("7501000111206"), std::string::npos) << r.out;
    EXPECT_GE(DemoArticleCount(), 45u);

    Database read = OpenCatalogueReadOnly(db);
    const RowSet taxes =
        RunProviderQuery(read, "QueryMultiaProvider", "Select PCT From Impuestos", {});
    EXPECT_EQ(taxes.Rows, (std::vector<std::vector<FieldValue>>{{16.0}, {0.0}, {8.0}}));
    const RowSet stats = RunProviderQuery(
        read, "QueryMultiaProvider",
        "SELECT count(*), sum(length(Descrip) > 30), sum(length(Descrip) > 60), "
        "sum(Descrip LIKE '%ñ%'), sum(Imps_Act <> 0), sum(Ban_Imps <> 0), "
        "sum(Precio4 IS NULL), sum(Codigo BETWEEN 1000000000000 AND 9999999999999) "
        "FROM Articulos",
        {});
    const auto count = std::get<std::int64_t>(stats.Rows[0][0]);
    EXPECT_EQ(count, static_cast<std::int64_t>(DemoArticleCount()));
    for (std::size_t c = 1; c < 7; ++c) {
        EXPECT_GT(std::get<std::int64_t>(stats.Rows[0][c]), 0) << "statistic " << c;
    }
    EXPECT_EQ(std::get<std::int64_t>(stats.Rows[0][7]), count);  // all thirteen digits

    // The three codes it suggests are found on list 1, and the third carries taxes.
    ArticleLookup lookup(read);
    std::istringstream lines(r.out);
    std::string line;
    int found = 0;
    while (std::getline(lines, line)) {
        if (line.starts_with("  ")) {
            BuscaPrecioCall request;
            request.Codigo = std::stod(line.substr(2, 13));
            const BuscaPrecioCall reply = lookup.Find(request);
            EXPECT_EQ(reply.Result, 1) << line;
            found += reply.Result;
            if (found == 3) {
                EXPECT_EQ(reply.Imps_Act, 5);
                EXPECT_EQ(reply.Ban_Imps, 2);
            }
        }
    }
    EXPECT_EQ(found, 3);
}

}  // namespace
}  // namespace zel
