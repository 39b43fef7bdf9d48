#include "srv_zel/ArticleLookup.h"

#include <cmath>
#include <limits>

#include <sqlite3.h>

#include "srv_zel/RequestError.h"
#include "srv_zel/Schema.h"

namespace zel {

namespace {

// Column order of the lookup.
enum Column : int {
    DESCRIP = 0,
    PRECIO1 = 1,  // PRECIO1 .. PRECIO1 + 7
    IMPS_ACT = PRECIO1 + PRICE_LIST_COUNT,
    BAN_IMPS,
    TIENE_OFER,
    FEC_INI_OFER,
    FEC_FIN_OFER,
    PCT_OFER,
    MULT,
    BANS_ART,
    PRECIO_SUG,
};

constexpr std::string_view SELECT_ARTICLE =
    "SELECT Descrip, Precio1, Precio2, Precio3, Precio4, Precio5, Precio6, Precio7, Precio8, "
    "Imps_Act, Ban_Imps, Tiene_Ofer, Fec_ini_ofer, Fec_fin_ofer, Pct_ofer, Mult, Bans_Art, "
    "Precio_Sug FROM Articulos WHERE Codigo = ?1";

class Row {
public:
    Row(sqlite3_stmt* stmt, std::int64_t code) : stmt_(stmt), code_(code) {}

    bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

    double Double(int col) const {
        switch (sqlite3_column_type(stmt_, col)) {
            case SQLITE_NULL:
                return 0;
            case SQLITE_INTEGER:
            case SQLITE_FLOAT: {
                const double d = sqlite3_column_double(stmt_, col);
                if (!std::isfinite(d)) {
                    Bad(col, "is not a finite number");
                }
                return d;
            }
            default:
                Bad(col, "holds text, not a number");
        }
    }

    template <class Int>
    Int Integer(int col) const {
        const int type = sqlite3_column_type(stmt_, col);
        if (type == SQLITE_NULL) {
            return 0;
        }
        if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) {
            Bad(col, "holds text, not a number");
        }
        const double d = sqlite3_column_double(stmt_, col);
        const std::int64_t i = sqlite3_column_int64(stmt_, col);
        if (type == SQLITE_FLOAT && d != std::floor(d)) {
            Bad(col, "holds " + std::to_string(d) + ", not an integer");
        }
        if (type == SQLITE_FLOAT
                ? (d < std::numeric_limits<Int>::min() || d > std::numeric_limits<Int>::max())
                : (i < std::numeric_limits<Int>::min() || i > std::numeric_limits<Int>::max())) {
            Bad(col, "holds " + (type == SQLITE_FLOAT ? std::to_string(d) : std::to_string(i)) +
                         ", outside " + std::to_string(8 * sizeof(Int)) + " bits");
        }
        return type == SQLITE_FLOAT ? static_cast<Int>(d) : static_cast<Int>(i);
    }

    std::string Text(int col) const {
        const auto* text = sqlite3_column_text(stmt_, col);
        const int size = sqlite3_column_bytes(stmt_, col);
        return text ? std::string(reinterpret_cast<const char*>(text), size) : std::string();
    }

private:
    [[noreturn]] void Bad(int col, const std::string& why) const {
        throw std::runtime_error("article " + std::to_string(code_) + ": " +
                                 sqlite3_column_name(stmt_, col) + " " + why);
    }

    sqlite3_stmt* stmt_;
    std::int64_t code_;
};

}  // namespace

ArticleLookup::ArticleLookup(Database& db) : select_(db, SELECT_ARTICLE) {}

BuscaPrecioCall ArticleLookup::Find(const BuscaPrecioCall& request) {
    if (request.No_Precio < 0 || request.No_Precio >= PRICE_LIST_COUNT) {
        throw RequestError("No_Precio " + std::to_string(request.No_Precio) +
                           " names no price list (0 to " + std::to_string(PRICE_LIST_COUNT - 1) +
                           ")");
    }
    BuscaPrecioCall reply;
    reply.Codigo = request.Codigo;
    reply.Mult = request.Mult;

    const double code = request.Codigo;
    if (!(code >= 0 && code <= static_cast<double>(MAX_ARTICLE_CODE) && code == std::floor(code))) {
        return reply;
    }
    const auto key = static_cast<std::int64_t>(code);
    struct ResetOnExit {
        Statement& s;
        ~ResetOnExit() { s.Reset(); }
    } reset{select_};
    select_.Bind(1, key);
    if (!select_.Step()) {
        return reply;
    }
    const Row row(select_.Handle(), key);
    const int priceColumn = PRECIO1 + request.No_Precio;
    if (row.IsNull(priceColumn)) {
        return reply;
    }
    reply.Result = 1;
    reply.Precio = row.Double(priceColumn);
    reply.Descrip = row.Text(DESCRIP);
    reply.Ban_Imps = row.Integer<std::int8_t>(BAN_IMPS);
    reply.Tiene_Ofer = row.Integer<std::int8_t>(TIENE_OFER);
    reply.Fec_ini_ofer = row.Double(FEC_INI_OFER);
    reply.Fec_fin_ofer = row.Double(FEC_FIN_OFER);
    reply.Pct_ofer = row.Double(PCT_OFER);
    reply.Imps_Act = row.Integer<std::int16_t>(IMPS_ACT);
    reply.Mult = row.Double(MULT);
    reply.Bans_Art = row.Integer<std::int32_t>(BANS_ART);
    reply.Precio_Sug = row.Double(PRECIO_SUG);
    return reply;
}

}  // namespace zel
