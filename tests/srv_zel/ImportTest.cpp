// CSV import: what a good file loads, and bad rows stopping the whole run.
#include <sqlite3.h>

#include <sstream>

#include <gtest/gtest.h>

#include "Catalogue.h"
#include "srv_zel/CatalogueImport.h"
#include "srv_zel/CsvReader.h"
#include "srv_zel/Schema.h"

namespace zel {
namespace {

using test::TempDir;

std::string Query(const std::string& db, const std::string& sql) {
    Database d(db, SQLITE_OPEN_READONLY);
    Statement s(d, sql);
    std::string out;
    while (s.Step()) {
        for (int c = 0; c < sqlite3_column_count(s.Handle()); ++c) {
            const auto* v = sqlite3_column_text(s.Handle(), c);
            out += (c ? "|" : "") + std::string(v ? reinterpret_cast<const char*>(v) : "NULL");
        }
        out += "\n";
    }
    return out;
}

ImportCounts Import(const std::string& db, std::optional<std::string> articles,
                    std::optional<std::string> taxes, CsvFormat format = {}) {
    const auto writer = OpenCatalogueWriter(db);
    return ImportCatalogue(*writer, {std::move(articles), std::move(taxes), std::move(format)});
}

TEST(Csv, ReadsRfc4180Records) {
    std::istringstream in(
        "\xEF\xBB\xBF"
        "a,\"b,c\",\"d \"\"e\"\"\"\r\n"
        "\r\n"
        "\"dos\nlíneas\",,x\n"
        "\"\",last");
    CsvReader reader(in);
    CsvRecord r;
    const std::vector<std::pair<std::size_t, std::vector<std::string>>> expected = {
        {1, {"a", "b,c", "d \"e\""}}, {3, {"dos\nlíneas", "", "x"}}, {5, {"", "last"}}};
    for (const auto& [line, fields] : expected) {
        ASSERT_TRUE(reader.Next(r));
        EXPECT_EQ(r.Line, line);
        EXPECT_EQ(r.Fields, fields);
    }
    EXPECT_FALSE(reader.Next(r));
}

TEST(Import, FieldChecks) {
    EXPECT_EQ(ParseArticleCode("7501000111206"), 7501000111206);
    EXPECT_EQ(ParseArticleCode(" 0007501 "), 7501);
    EXPECT_EQ(ParseArticleCode("0"), 0);
    EXPECT_EQ(ParsePrice("p", "12.50"), 12.5);
    EXPECT_EQ(ParsePrice("p", "1.5e3"), 1500.0);
    EXPECT_EQ(ParsePrice("p", " 7 "), 7.0);
    EXPECT_EQ(ParsePrice("p", ".5"), 0.5);
    EXPECT_EQ(ParsePrice("p", "-2.50"), -2.5);  // a deposit given back
    EXPECT_EQ(ParsePrice("p", ""), std::nullopt);
    EXPECT_EQ(ParseBoundedInt("i", "", -128, 127), 0);
    EXPECT_EQ(ParseBoundedInt("i", "-128", -128, 127), -128);
    const std::vector<std::function<void()>> bad = {
        [] { ParseArticleCode("12345678901234"); },
        [] { ParseArticleCode("75O1"); },
        [] { ParseArticleCode(""); },
        [] { ParsePrice("p", "12,50"); },
        [] { ParsePrice("p", "abc"); },
        [] { ParsePrice("p", "inf"); },
        [] { ParsePrice("p", "nan"); },
        [] { ParsePrice("p", "1e999"); },
        [] { ParsePrice("p", "$5"); },
        [] { ParseBoundedInt("i", "128", -128, 127); },
        [] { ParseBoundedInt("i", "1.0", -128, 127); },
        [] { ParseBoundedInt("i", "99999999999999999999", -128, 127); },
    };
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_THROW(bad[i](), ImportError) << "case " << i;
    }
}

TEST(Import, LoadsArticlesAndTaxes) {
    TempDir dir;
    const std::string db = dir.File("t.db");
    const std::string articles =
        dir.Write("a.csv",
                  "Codigo , DESCRIPCION,precio1,precio2,precio8,imps_act,ban_imps\r\n"
                  "7501000111206,\"Café \"\"de olla\"\", molido\",89.5,85,,1,2\r\n"
                  "0007501,Azúcar,32.9,,,,\r\n");
    const std::string taxes = dir.Write("t.csv", "pct\n16\n0\n5\n");
    const ImportCounts counts = Import(db, articles, taxes);
    EXPECT_EQ(counts.Articles, 2u);
    EXPECT_EQ(counts.Taxes, 3u);
    EXPECT_EQ(Query(db,
                    "SELECT Codigo, Descrip, Precio1, Precio2, Precio3, Precio8, Imps_Act, "
                    "Ban_Imps, Mult FROM Articulos ORDER BY Codigo"),
              "7501|Azúcar|32.9|NULL|NULL|NULL|0|0|1.0\n"
              "7501000111206|Café \"de olla\", molido|89.5|85.0|NULL|NULL|1|2|1.0\n");
    EXPECT_EQ(Query(db, "SELECT PCT FROM Impuestos"), "16.0\n0.0\n5.0\n");

    // An upsert replaces the columns the header names and keeps the others;
    // a new tax file replaces the table.
    Import(db, dir.Write("b.csv", "codigo,descripcion,precio2\n7501,Azúcar estándar,30\n"),
           dir.Write("t2.csv", "pct\n8\n"));
    EXPECT_EQ(Query(db, "SELECT Descrip, Precio1, Precio2 FROM Articulos WHERE Codigo = 7501"),
              "Azúcar estándar|32.9|30.0\n");
    EXPECT_EQ(Query(db, "SELECT Numero, PCT FROM Impuestos"), "1|8.0\n");
}

TEST(Import, ABadRowStopsEverythingWithFileAndLine) {
    struct Case {
        const char* articles;  // null: no articles file
        const char* taxes;     // null: no taxes file
        const char* error;     // after the file name
    };
    const Case cases[] = {
        {"codigo,descripcion,precio1\n1,a,1\n2,b,\"12,50\"\n", nullptr,
         "a.csv:3: precio1 \"12,50\" is not a number"},
        {"codigo,descripcion\n1,a\n12345678901234,b\n", nullptr,
         "a.csv:3: codigo \"12345678901234\" is longer than 13 digits"},
        {"codigo,descripcion,imps_act\n1,a,40000\n", nullptr,
         "a.csv:2: imps_act \"40000\" is outside -32768 to 32767"},
        {"codigo,descripcion,ban_imps\n1,a,128\n", nullptr, "a.csv:2: ban_imps \"128\" is outside"},
        {"codigo,descripcion,precio1\n1,a,1\n2,b\n", nullptr,
         "a.csv:3: 2 columns where the header has 3"},
        {"codigo,descripcion\n1,a,x\n", nullptr, "a.csv:2: 3 columns where the header has 2"},
        {"codigo,descripcion\n1,\"a\n\n2,b\n", nullptr,
         "a.csv:2: a quoted field opened on this line never closes"},
        {"codigo,descripcion\n1,a\"b\n", nullptr, "a.csv:2: a quote inside an unquoted field"},
        {"codigo,descripcion\n1,\"a\"b\n", nullptr, "a.csv:2: a character after the closing quote"},
        {"codigo,descripcion,precio9\n", nullptr, "a.csv:1: unknown column \"precio9\""},
        {"codigo,descripcion,CODIGO\n", nullptr, "a.csv:1: column \"codigo\" appears twice"},
        {"descripcion,precio1\n", nullptr, "a.csv:1: the header lacks column \"codigo\""},
        {"codigo,descripcion\n1,\xC3(\n", nullptr, "a.csv:2: descripcion is not valid UTF-8"},
        {"codigo,precio1\n1,2\n2,3\n", nullptr,
         "a.csv:3: article 2 is not in the catalogue; a new article needs the column "
         "\"descripcion\""},
        {"codigo\n1\n", nullptr, "a.csv:1: the header names no column to load"},
        {"codigo;descripcion\n1;a\n", nullptr,
         "a.csv:1: the header looks ;-separated; give --delimiter ';'"},
        {"codigo,descripcion\n1,Pi\xF1on\n", nullptr, "give --encoding windows-1252"},
        {nullptr, "pct\n", "t.csv:1: the file has its header but no tax"},
        {nullptr, "pct\n-5\n", "t.csv:2: pct \"-5\" is negative"},
        {"codigo,descripcion\n,a\n", nullptr, "a.csv:2: codigo is empty"},
        {"", nullptr, "a.csv:1: the file is empty"},
        {"codigo,descripcion\n1,a\n", "pct\n16\nabc\n", "t.csv:3: pct \"abc\" is not a number"},
        {nullptr, "pct\n16\n\"\"\n", "t.csv:3: pct is empty"},
        {nullptr, "porcentaje\n16\n", "t.csv:1: the header must be the one column \"pct\""},
        {nullptr, "pct\n16,1\n", "t.csv:2: 2 columns where the header has 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        TempDir dir;
        const std::string db = dir.File("t.db");
        test::ExecSql(db,
                      "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (1, 'antes', 9);"
                      "INSERT INTO Impuestos VALUES (1, 15);");
        const std::string before = test::Snapshot(db);
        std::optional<std::string> a, t;
        if (c.articles) {
            a = dir.Write("a.csv", c.articles);
        }
        if (c.taxes) {
            t = dir.Write("t.csv", c.taxes);
        }
        try {
            Import(db, a, t);
            ADD_FAILURE() << "imported";
        } catch (const ImportError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find(dir.Path().string()), 0u) << e.what();
        }
        EXPECT_EQ(test::Snapshot(db), before);
    }
}

TEST(Import, FilesAShopHas) {
    struct Case {
        const char* articles;
        CsvFormat format;
        const char* rows;  // Codigo|Descrip|Precio1|Precio2 afterwards
    };
    const Case cases[] = {
        {"codigo,descripcion,precio1\n2,Envase,-1.5\n",
         {},
         "1|antes|9.0|NULL\n2|Envase|-1.5|NULL\n"},
        {"codigo,precio2\n1,7.25\n", {}, "1|antes|9.0|7.25\n"},
        {"codigo;descripcion;precio1\n1;\"Caf\xE9; 1 kg\";4\n",
         {';', "windows-1252"},
         "1|Café; 1 kg|4.0|NULL\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.articles);
        TempDir dir;
        const std::string db = dir.File("t.db");
        test::ExecSql(db,
                      "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (1, 'antes', 9)");
        Import(db, dir.Write("a.csv", c.articles), std::nullopt, c.format);
        EXPECT_EQ(Query(db, "SELECT Codigo, Descrip, Precio1, Precio2 FROM Articulos"), c.rows);
    }
}

TEST(Import, AMissingFileIsNamed) {
    TempDir dir;
    try {
        Import(dir.File("t.db"), dir.File("no.csv"), std::nullopt);
        ADD_FAILURE();
    } catch (const ImportError& e) {
        EXPECT_EQ(std::string(e.what()), dir.File("no.csv") + ": cannot open the file");
    }
}

}  // namespace
}  // namespace zel
