// Schema: the catalogue's tables (Articulos, Impuestos) and the two ways the
// reference server opens its file: read-write (creating the tables, WAL
// mode) and read-only for answering requests.
#pragma once

#include <string>

#include "srv_zel/Sqlite.h"

namespace zel {

inline constexpr int PRICE_LIST_COUNT = 8;
inline constexpr long long MAX_ARTICLE_CODE = 9'999'999'999'999;  // 13 digits

// Opens (creating when missing) the file read-write, switches it to WAL and
// creates the tables that are missing.
Database OpenCatalogueForWriting(const std::string& path);

// Opens an existing catalogue read-only, with an authorizer that allows only
// reading: SELECT, reading columns, functions and recursive queries. Every
// other action (writes, PRAGMA, ATTACH, transactions, schema changes) is
// refused when a statement is prepared.
Database OpenCatalogueReadOnly(const std::string& path);

// On a connection opened read-only: while *ownTurn is true, BEGIN, COMMIT and
// ROLLBACK are allowed too (the connection's own read snapshot); null takes
// the leave back. Prepared statements are prepared again at their next run.
void AllowOwnTransactions(Database& db, const bool* ownTurn);

}  // namespace zel
