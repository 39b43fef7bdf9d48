// ArticleLookup: BuscaPrecio on one catalogue connection. The code names the
// article; the price list No_Precio (0 to 7) picks the price column.
//
// The checks of a request and of the row found are shared by every store
// (ArticleKey, ArticleReply); ArticleLookup is the SQLite one, and keeps its
// prepared statement for the life of the connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "server/WireFormat.h"
#include "srv_zel/Sqlite.h"

namespace zel {

// The lookup's columns, in the order ARTICLE_COLUMNS names them.
enum ArticleColumn : int {
    DESCRIP = 0,
    PRECIO1 = 1,  // PRECIO1 .. PRECIO1 + 7
    IMPS_ACT = PRECIO1 + 8,
    BAN_IMPS,
    TIENE_OFER,
    FEC_INI_OFER,
    FEC_FIN_OFER,
    PCT_OFER,
    MULT,
    BANS_ART,
    PRECIO_SUG,
};
inline constexpr const char* ARTICLE_COLUMNS =
    "Descrip, Precio1, Precio2, Precio3, Precio4, Precio5, Precio6, Precio7, Precio8, "
    "Imps_Act, Ban_Imps, Tiene_Ofer, Fec_ini_ofer, Fec_fin_ofer, Pct_ofer, Mult, Bans_Art, "
    "Precio_Sug";

// One found row as a store gives it.
class ArticleRow {
public:
    virtual ~ArticleRow() = default;
    virtual bool IsNull(int col) const = 0;
    // The number the column holds; nullopt when it holds text.
    virtual std::optional<double> Number(int col) const = 0;
    virtual std::string Text(int col) const = 0;
    // Whether the column holds binary data (a store whose text columns can).
    virtual bool IsBinary(int /*col*/) const { return false; }
    virtual std::string ColumnName(int col) const = 0;
};

// The key to look up, or nullopt when no article can have the code (not a
// whole number from 0 to 13 digits). Throws RequestError when No_Precio
// names no price list.
std::optional<std::int64_t> ArticleKey(const BuscaPrecioCall& request);

// The answer for the row found under key (null: none). Found: Result 1 and
// every output from the row. Not found (no row, or no price on that list):
// Result 0, zero outputs, empty Descrip, Codigo and Mult as they came.
// Throws std::runtime_error naming article and column when a stored value
// does not fit its parameter.
BuscaPrecioCall ArticleReply(const BuscaPrecioCall& request, std::int64_t key,
                             const ArticleRow* row);

class ArticleLookup {
public:
    explicit ArticleLookup(Database& db);

    // ArticleKey and ArticleReply on this connection; SqliteError when the
    // database fails.
    BuscaPrecioCall Find(const BuscaPrecioCall& request);

private:
    Statement select_;
};

}  // namespace zel
