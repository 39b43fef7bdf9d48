#include "srv_zel/ArticleLookup.h"

#include <cmath>
#include <limits>

#include <sqlite3.h>

#include "srv_zel/RequestError.h"
#include "srv_zel/Schema.h"

namespace zel {

namespace {

static_assert(IMPS_ACT == PRECIO1 + PRICE_LIST_COUNT);

class Checked {
public:
    Checked(const ArticleRow& row, std::int64_t code) : row_(row), code_(code) {}

    double Double(int col) const {
        if (row_.IsNull(col)) {
            return 0;
        }
        const auto d = row_.Number(col);
        if (!d) {
            Bad(col, "holds text, not a number");
        }
        if (!std::isfinite(*d)) {
            Bad(col, "is not a finite number");
        }
        return *d;
    }

    template <class Int>
    Int Integer(int col) const {
        if (row_.IsNull(col)) {
            return 0;
        }
        const auto d = row_.Number(col);
        if (!d) {
            Bad(col, "holds text, not a number");
        }
        if (*d != std::floor(*d)) {
            Bad(col, "holds " + std::to_string(*d) + ", not an integer");
        }
        if (*d < std::numeric_limits<Int>::min() || *d > std::numeric_limits<Int>::max()) {
            Bad(col, "holds " + std::to_string(static_cast<long long>(*d)) + ", outside " +
                         std::to_string(8 * sizeof(Int)) + " bits");
        }
        return static_cast<Int>(*d);
    }

    // A description: NULL is empty; binary data is no description.
    std::string Text(int col) const {
        if (row_.IsBinary(col)) {
            Bad(col, "holds binary data, not text");
        }
        return row_.Text(col);
    }

private:
    [[noreturn]] void Bad(int col, const std::string& why) const {
        throw std::runtime_error("article " + std::to_string(code_) + ": " + row_.ColumnName(col) +
                                 " " + why);
    }

    const ArticleRow& row_;
    std::int64_t code_;
};

class SqliteRow final : public ArticleRow {
public:
    explicit SqliteRow(sqlite3_stmt* stmt) : stmt_(stmt) {}
    bool IsNull(int col) const override { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::optional<double> Number(int col) const override {
        const int type = sqlite3_column_type(stmt_, col);
        if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) {
            return std::nullopt;
        }
        return sqlite3_column_double(stmt_, col);
    }
    std::string Text(int col) const override {
        const auto* text = sqlite3_column_text(stmt_, col);
        const int size = sqlite3_column_bytes(stmt_, col);
        return text ? std::string(reinterpret_cast<const char*>(text), size) : std::string();
    }
    bool IsBinary(int col) const override { return sqlite3_column_type(stmt_, col) == SQLITE_BLOB; }
    std::string ColumnName(int col) const override { return sqlite3_column_name(stmt_, col); }

private:
    sqlite3_stmt* stmt_;
};

}  // namespace

std::optional<std::int64_t> ArticleKey(const BuscaPrecioCall& request) {
    if (request.No_Precio < 0 || request.No_Precio >= PRICE_LIST_COUNT) {
        throw RequestError("No_Precio " + std::to_string(request.No_Precio) +
                           " names no price list (0 to " + std::to_string(PRICE_LIST_COUNT - 1) +
                           ")");
    }
    const double code = request.Codigo;
    if (!(code >= 0 && code <= static_cast<double>(MAX_ARTICLE_CODE) && code == std::floor(code))) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(code);
}

BuscaPrecioCall ArticleReply(const BuscaPrecioCall& request, std::int64_t key,
                             const ArticleRow* found) {
    BuscaPrecioCall reply;
    reply.Codigo = request.Codigo;
    reply.Mult = request.Mult;
    const int priceColumn = PRECIO1 + request.No_Precio;
    if (found == nullptr || found->IsNull(priceColumn)) {
        return reply;
    }
    const Checked row(*found, key);
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

ArticleLookup::ArticleLookup(Database& db)
    : select_(db, std::string("SELECT ") + ARTICLE_COLUMNS + " FROM Articulos WHERE Codigo = ?1") {}

BuscaPrecioCall ArticleLookup::Find(const BuscaPrecioCall& request) {
    const auto key = ArticleKey(request);
    if (!key) {
        return ArticleReply(request, 0, nullptr);
    }
    struct ResetOnExit {
        Statement& s;
        ~ResetOnExit() { s.Reset(); }
    } reset{select_};
    select_.Bind(1, *key);
    if (!select_.Step()) {
        return ArticleReply(request, *key, nullptr);
    }
    const SqliteRow row(select_.Handle());
    return ArticleReply(request, *key, &row);
}

}  // namespace zel
