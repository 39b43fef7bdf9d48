// A SQLite session's lookups share a read snapshot for a moment: what an
// import wrote is seen once the snapshot is older than its bound, and an idle
// session lets go of it so that the WAL can be reset.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "Catalogue.h"
#include "srv_zel/CatalogueStore.h"
#include "srv_zel/ReadSnapshot.h"
#include "srv_zel/Schema.h"

namespace zel {
namespace {

TEST(ReadSnapshot, ImportsAreSeenAndAnIdleSessionLetsTheWalBeReset) {
    const test::TestCatalogue catalogue(test::Store::Sqlite);
    const std::string& db = catalogue.Db();
    test::ExecSql(db, "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7501, 'a', 32.9)");
    const auto store = OpenCatalogueStore(db);
    const auto session = store->OpenSession();
    BuscaPrecioCall ask;
    ask.Codigo = 7501;
    ask.Mult = 1;
    EXPECT_EQ(session->Find(ask).Precio, 32.9);

    test::ExecSql(db, "UPDATE Articulos SET Precio1 = 35 WHERE Codigo = 7501");
    session->Tidy(std::chrono::steady_clock::now() + ReadSnapshot::MAX_AGE);
    Database writer = OpenCatalogueForWriting(db);
    int walFrames = -1;
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(writer.Handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE,
                                        &walFrames, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(writer.Handle());
    EXPECT_EQ(walFrames, 0);
    EXPECT_EQ(session->Find(ask).Precio, 35.0);

    // Busy, never idle: the next lookup past the bound takes a new snapshot.
    writer.Exec("UPDATE Articulos SET Precio1 = 36 WHERE Codigo = 7501");
    std::this_thread::sleep_for(ReadSnapshot::MAX_AGE);
    EXPECT_EQ(session->Find(ask).Precio, 36.0);
}

}  // namespace
}  // namespace zel
