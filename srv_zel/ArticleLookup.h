// ArticleLookup: BuscaPrecio on one catalogue connection. The code names the
// article; the price list No_Precio (0 to 7) picks the price column.
//
// Keeps its prepared statement for the life of the connection.
#pragma once

#include "server/WireFormat.h"
#include "srv_zel/Sqlite.h"

namespace zel {

class ArticleLookup {
public:
    explicit ArticleLookup(Database& db);

    // Uses Codigo, No_Precio, Descrip and Mult of the request. Found: Result 1
    // and every output from the row. Not found (no such whole code from 0 to
    // 13 digits, or no price on that list): Result 0, zero outputs, empty
    // Descrip, Codigo and Mult as they came. Throws RequestError when
    // No_Precio names no price list, SqliteError when the database fails,
    // std::runtime_error naming article and column when a stored value does
    // not fit its parameter.
    BuscaPrecioCall Find(const BuscaPrecioCall& request);

private:
    Statement select_;
};

}  // namespace zel
