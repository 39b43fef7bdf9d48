#include "srv_zel/Schema.h"

#include <sqlite3.h>

#include "srv_zel/BoundedPrintf.h"

namespace zel {

namespace {

// No value a query may build is longer: a description is a line of text.
constexpr int MAX_VALUE_BYTES = 1 << 20;

constexpr std::string_view SCHEMA = R"sql(
CREATE TABLE IF NOT EXISTS Articulos (
  Codigo       INTEGER PRIMARY KEY CHECK (Codigo BETWEEN 0 AND 9999999999999),
  Descrip      TEXT    NOT NULL DEFAULT '',
  Precio1      REAL,
  Precio2      REAL,
  Precio3      REAL,
  Precio4      REAL,
  Precio5      REAL,
  Precio6      REAL,
  Precio7      REAL,
  Precio8      REAL,
  Imps_Act     INTEGER NOT NULL DEFAULT 0 CHECK (Imps_Act BETWEEN -32768 AND 32767),
  Ban_Imps     INTEGER NOT NULL DEFAULT 0 CHECK (Ban_Imps BETWEEN -128 AND 127),
  Tiene_Ofer   INTEGER NOT NULL DEFAULT 0 CHECK (Tiene_Ofer BETWEEN -128 AND 127),
  Fec_ini_ofer REAL    NOT NULL DEFAULT 0,
  Fec_fin_ofer REAL    NOT NULL DEFAULT 0,
  Pct_ofer     REAL    NOT NULL DEFAULT 0,
  Mult         REAL    NOT NULL DEFAULT 1,
  Bans_Art     INTEGER NOT NULL DEFAULT 0 CHECK (Bans_Art BETWEEN -2147483648 AND 2147483647),
  Precio_Sug   REAL    NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS Impuestos (
  Numero INTEGER PRIMARY KEY,
  PCT    REAL NOT NULL
);
)sql";

// ownTurn (may be null): while it is true, the connection runs a statement
// of its own read snapshot, never a client's text.
int AllowOnlyReading(void* ownTurn, int action, const char*, const char*, const char*,
                     const char*) {
    switch (action) {
        case SQLITE_TRANSACTION:
            return ownTurn != nullptr && *static_cast<const bool*>(ownTurn) ? SQLITE_OK
                                                                            : SQLITE_DENY;
        case SQLITE_SELECT:
        case SQLITE_READ:
        case SQLITE_FUNCTION:
        case SQLITE_RECURSIVE:
            return SQLITE_OK;
        default:
            return SQLITE_DENY;
    }
}

}  // namespace

Database OpenCatalogueForWriting(const std::string& path) {
    Database db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX);
    db.Exec("PRAGMA journal_mode=WAL");
    db.Exec(SCHEMA);
    return db;
}

Database OpenCatalogueReadOnly(const std::string& path) {
    Database db(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
    sqlite3_set_authorizer(db.Handle(), AllowOnlyReading, nullptr);
    sqlite3_limit(db.Handle(), SQLITE_LIMIT_LENGTH, MAX_VALUE_BYTES);
    InstallBoundedPrintf(db.Handle());
    return db;
}

void AllowOwnTransactions(Database& db, const bool* ownTurn) {
    sqlite3_set_authorizer(db.Handle(), AllowOnlyReading, const_cast<bool*>(ownTurn));
}

}  // namespace zel
