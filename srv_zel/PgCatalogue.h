// PgCatalogue: the catalogue in a PostgreSQL database. The tables are those
// of the SQLite file, with names folded to lower case as PostgreSQL does.
// Lookups run a prepared statement on a connection per session; queries run
// in a read-only transaction with a statement time limit, as the role
// srv_zel_query that may only read the two tables.
#pragma once

#include <memory>
#include <string>

#include "srv_zel/CatalogueStore.h"

namespace zel {

inline constexpr const char* QUERY_ROLE = "srv_zel_query";

std::unique_ptr<CatalogueStore> OpenPgCatalogueStore(const std::string& uri);
std::unique_ptr<CatalogueWriter> OpenPgCatalogueWriter(const std::string& uri);

}  // namespace zel
