#include "srv_zel/PgCatalogue.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include <libpq-fe.h>

#include "common/Text.h"
#include "srv_zel/ArticleLookup.h"
#include "srv_zel/CancelSignal.h"
#include "srv_zel/Postgres.h"
#include "srv_zel/RequestError.h"
#include "srv_zel/Standby.h"

namespace zel {

namespace {

constexpr const char* LOOKUP_STATEMENT = "lookup";

// The tables of the SQLite file; the role srv_zel_query may read them and
// nothing else. Several servers may start at once on one database: the lock
// makes them create the tables one after the other.
constexpr const char* SCHEMA = R"sql(
BEGIN;
SELECT pg_advisory_xact_lock(7300);
CREATE TABLE IF NOT EXISTS Articulos (
  Codigo       BIGINT PRIMARY KEY CHECK (Codigo BETWEEN 0 AND 9999999999999),
  Descrip      TEXT    NOT NULL DEFAULT '',
  Precio1      DOUBLE PRECISION,
  Precio2      DOUBLE PRECISION,
  Precio3      DOUBLE PRECISION,
  Precio4      DOUBLE PRECISION,
  Precio5      DOUBLE PRECISION,
  Precio6      DOUBLE PRECISION,
  Precio7      DOUBLE PRECISION,
  Precio8      DOUBLE PRECISION,
  Imps_Act     INTEGER NOT NULL DEFAULT 0 CHECK (Imps_Act BETWEEN -32768 AND 32767),
  Ban_Imps     INTEGER NOT NULL DEFAULT 0 CHECK (Ban_Imps BETWEEN -128 AND 127),
  Tiene_Ofer   INTEGER NOT NULL DEFAULT 0 CHECK (Tiene_Ofer BETWEEN -128 AND 127),
  Fec_ini_ofer DOUBLE PRECISION NOT NULL DEFAULT 0,
  Fec_fin_ofer DOUBLE PRECISION NOT NULL DEFAULT 0,
  Pct_ofer     DOUBLE PRECISION NOT NULL DEFAULT 0,
  Mult         DOUBLE PRECISION NOT NULL DEFAULT 1,
  Bans_Art     BIGINT  NOT NULL DEFAULT 0 CHECK (Bans_Art BETWEEN -2147483648 AND 2147483647),
  Precio_Sug   DOUBLE PRECISION NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS Impuestos (
  Numero INTEGER PRIMARY KEY,
  PCT    DOUBLE PRECISION NOT NULL
);
DO $$
BEGIN
  BEGIN
    CREATE ROLE srv_zel_query NOLOGIN;
  EXCEPTION WHEN duplicate_object OR unique_violation THEN
    NULL;
  END;
  IF NOT pg_has_role(current_user, 'srv_zel_query', 'MEMBER') THEN
    EXECUTE format('GRANT srv_zel_query TO %I', current_user);
  END IF;
  IF NOT has_table_privilege('srv_zel_query', 'articulos', 'SELECT')
     OR NOT has_table_privilege('srv_zel_query', 'impuestos', 'SELECT') THEN
    GRANT SELECT ON Articulos, Impuestos TO srv_zel_query;
  END IF;
END $$;
COMMIT;
)sql";

// Type OIDs of the catalogue (pg_type.h).
enum : unsigned {
    BYTEA_OID = 17,
    INT8_OID = 20,
    INT2_OID = 21,
    INT4_OID = 23,
    TEXT_OID = 25,
    FLOAT4_OID = 700,
    FLOAT8_OID = 701,
    BPCHAR_OID = 1042,
    VARCHAR_OID = 1043,
    NUMERIC_OID = 1700,
};

// For serving: a read-only database (a store's standby) is served as it
// is, once it holds what serving needs; any other gets its tables.
void ConnectToServe(const std::string& uri) {
    PgConnection conn(uri);
    if (IsReadOnlyDatabase(conn)) {
        CheckReadOnlyCatalogue(conn);
        return;
    }
    conn.Exec(SCHEMA);
}

// For writing: refused before anything is read or written when the
// database is read-only.
PgConnection ConnectToWrite(const std::string& uri) {
    PgConnection conn(uri);
    if (IsReadOnlyDatabase(conn)) {
        RefuseWritingToReadOnly(conn);
    }
    conn.Exec(SCHEMA);
    return conn;
}

// ?1, ?2 ... as $1, $2 ..., outside quoted text.
std::string DollarParameters(std::string_view sql) {
    std::string out;
    char quote = 0;
    for (char c : sql) {
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '?') {
            c = '$';
        }
        out += c;
    }
    return out;
}

class PgRow final : public ArticleRow {
public:
    explicit PgRow(const PgResult& result) : result_(result) {}
    bool IsNull(int col) const override { return result_.IsNull(0, col); }
    std::optional<double> Number(int col) const override { return PgNumber(result_.Value(0, col)); }
    std::string Text(int col) const override { return std::string(result_.Value(0, col)); }
    std::string ColumnName(int col) const override { return result_.ColumnName(col); }

private:
    const PgResult& result_;
};

// A failure of the database rather than of the command text.
bool IsServerFault(const std::string& state) {
    return state.empty() || state.starts_with("08") || state.starts_with("53") ||
           state.starts_with("57P") || state.starts_with("58") || state.starts_with("XX");
}

std::string ColumnTypeName(unsigned oid) {
    switch (oid) {
        case INT2_OID:
        case INT4_OID:
        case INT8_OID:
            return "integer";
        case FLOAT4_OID:
        case FLOAT8_OID:
            return "float";
        case NUMERIC_OID:
            return "numeric";
        case TEXT_OID:
        case VARCHAR_OID:
        case BPCHAR_OID:
            return "text";
        default:
            return "any";
    }
}

FieldValue ValueOf(const PgResult& r, int col) {
    if (r.IsNull(0, col)) {
        return std::monostate{};
    }
    const std::string_view text = r.Value(0, col);
    switch (r.ColumnType(col)) {
        case INT2_OID:
        case INT4_OID:
        case INT8_OID: {
            std::int64_t i = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
            if (ec == std::errc() && end == text.data() + text.size()) {
                return i;
            }
            break;
        }
        case FLOAT4_OID:
        case FLOAT8_OID:
        case NUMERIC_OID:
            if (const auto d = PgNumber(text)) {
                return *d;
            }
            break;
        default:
            break;
    }
    return std::string(text);
}

// The first word of the command, in lower case, after blanks, comments and
// opening parentheses.
std::string FirstWord(std::string_view text) {
    std::size_t i = 0;
    for (;;) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' ||
                                   text[i] == '\n' || text[i] == '(')) {
            ++i;
        }
        if (text.substr(i).starts_with("--")) {
            const auto eol = text.find('\n', i);
            i = eol == std::string_view::npos ? text.size() : eol;
        } else if (text.substr(i).starts_with("/*")) {
            const auto close = text.find("*/", i + 2);
            i = close == std::string_view::npos ? text.size() : close + 2;
        } else {
            break;
        }
    }
    std::string word;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            break;
        }
        word += c;
    }
    return AsciiLower(word);
}

class PgSession final : public CatalogueSession {
public:
    explicit PgSession(const std::string& uri) : conn_(uri) {
        conn_.Prepare(
            LOOKUP_STATEMENT,
            std::string("SELECT ") + ARTICLE_COLUMNS + " FROM Articulos WHERE Codigo = $1", 1);
    }

    BuscaPrecioCall Find(const BuscaPrecioCall& request) override {
        const auto key = ArticleKey(request);
        if (!key) {
            return ArticleReply(request, 0, nullptr);
        }
        const std::string code = std::to_string(*key);
        const PgResult result = conn_.ExecPrepared(LOOKUP_STATEMENT, {code.c_str()});
        if (result.Rows() == 0) {
            return ArticleReply(request, *key, nullptr);
        }
        const PgRow row(result);
        return ArticleReply(request, *key, &row);
    }

    RowSet Query(std::string_view providerName, std::string_view commandText,
                 const QueryLimits& limits, CancelSignal* gone) override {
        CheckProvider(providerName);
        const std::string text = OrderedCommandText(commandText);
        const std::string word = FirstWord(text);
        if (word.empty()) {
            throw RequestError("query refused: the command text holds no statement");
        }
        if (word != "select" && word != "with" && word != "values" && word != "table") {
            throw RequestError("query refused: only reading is allowed (" + word +
                               " is not a query)");
        }
        conn_.Exec("BEGIN READ ONLY; SET LOCAL statement_timeout = " +
                   std::to_string(limits.MaxTime.count()) + "; SET LOCAL ROLE " + QUERY_ROLE);
        struct RollbackOnExit {
            PgConnection& conn;
            ~RollbackOnExit() {
                if (conn.Healthy()) {
                    PQclear(PQexec(conn.Handle(), "ROLLBACK"));
                }
            }
        } rollback{conn_};
        // Made after the rollback, so that no cancel request is sent once
        // the rollback runs.
        const PgCancel cancel(conn_);
        std::atomic<bool> cancelled{false};
        CancelSignal unwatched;
        const auto stop = (gone != nullptr ? *gone : unwatched).OnCancel([&] {
            cancelled = true;
            cancel.Send();
        });
        return Collect(text, limits, cancel, cancelled);
    }

    bool Healthy() const override { return conn_.Healthy(); }

private:
    // Reads the rows one at a time, so that the limits hold before the rows
    // take the memory.
    RowSet Collect(const std::string& text, const QueryLimits& limits, const PgCancel& cancel,
                   const std::atomic<bool>& cancelled) {
        pg_conn* c = conn_.Handle();
        // The server ignores a cancel request that comes between statements.
        if (cancelled) {
            throw QueryCancelled();
        }
        if (!PQsendQueryParams(c, text.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)) {
            conn_.Check(nullptr, "sending the query");
        }
        PQsetSingleRowMode(c);
        RowSet rows;
        RowCollector collector(rows, limits);
        std::optional<RequestError> refused;
        std::optional<PgError> failed;
        while (pg_result* raw = PQgetResult(c)) {
            PgResult result(raw);
            if (refused || failed) {
                continue;  // drains what the server still sends
            }
            const auto status = PQresultStatus(raw);
            if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
                try {
                    Take(result, rows, collector);
                } catch (const RequestError& e) {
                    refused = e;
                    cancel.Send();
                }
                continue;
            }
            try {
                conn_.Check(result.Release(), "query");
            } catch (const PgError& e) {
                failed = e;
            }
        }
        if (refused) {
            throw *refused;
        }
        if (failed && cancelled && conn_.Healthy()) {
            throw QueryCancelled();
        }
        if (failed) {
            Refuse(*failed, limits);
        }
        return rows;
    }

    void Take(const PgResult& result, RowSet& rows, RowCollector& collector) {
        const int columns = result.Columns();
        if (rows.Columns.empty()) {
            for (int col = 0; col < columns; ++col) {
                if (result.ColumnType(col) == BYTEA_OID) {
                    throw RequestError("query refused: column \"" + result.ColumnName(col) +
                                       "\" holds binary data, which a row set does not carry");
                }
                rows.Columns.push_back(
                    {result.ColumnName(col), ColumnTypeName(result.ColumnType(col))});
            }
        }
        if (result.Rows() == 0) {
            return;
        }
        std::vector<FieldValue> row;
        row.reserve(static_cast<std::size_t>(columns));
        for (int col = 0; col < columns; ++col) {
            row.push_back(ValueOf(result, col));
        }
        collector.Add(std::move(row));
    }

    [[noreturn]] void Refuse(const PgError& e, const QueryLimits& limits) {
        if (!conn_.Healthy() || IsServerFault(e.SqlState())) {
            throw e;
        }
        const std::string what = e.what();
        const std::string why = what.substr(what.find(": query: ") + 9);
        if (e.SqlState() == "57014") {
            throw RequestError("query refused: it ran longer than " +
                               std::to_string(limits.MaxTime.count()) + " ms");
        }
        if (e.SqlState() == "42601" && why.find("multiple commands") != std::string::npos) {
            throw RequestError("query refused: the command text holds more than one statement");
        }
        if (e.SqlState() == "25006") {
            throw RequestError("query refused: the statement would change the database");
        }
        throw RequestError("query refused: " + why);
    }

    PgConnection conn_;
};

class PgStore final : public CatalogueStore {
public:
    explicit PgStore(std::string uri) : uri_(std::move(uri)) { ConnectToServe(uri_); }
    std::unique_ptr<CatalogueSession> OpenSession() override {
        return std::make_unique<PgSession>(uri_);
    }

private:
    std::string uri_;
};

class PgWriteStatement final : public WriteStatement {
public:
    PgWriteStatement(PgConnection& conn, std::string_view sql, std::string name)
        : conn_(conn), name_(std::move(name)) {
        conn_.Prepare(name_, DollarParameters(sql), 0);
    }
    void Bind(int index, std::int64_t value) override { Set(index, std::to_string(value)); }
    void Bind(int index, double value) override {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        Set(index, text);
    }
    void Bind(int index, std::string_view text) override { Set(index, std::string(text)); }
    void BindNull(int index) override { Slot(index).reset(); }
    std::size_t Run() override {
        std::vector<const char*> params;
        for (const auto& v : values_) {
            params.push_back(v ? v->c_str() : nullptr);
        }
        const PgResult result = conn_.ExecPrepared(name_, params);
        values_.clear();
        return static_cast<std::size_t>(std::strtoull(PQcmdTuples(result.Handle()), nullptr, 10));
    }

private:
    std::optional<std::string>& Slot(int index) {
        if (values_.size() < static_cast<std::size_t>(index)) {
            values_.resize(static_cast<std::size_t>(index));
        }
        return values_[static_cast<std::size_t>(index - 1)];
    }
    void Set(int index, std::string text) { Slot(index) = std::move(text); }

    PgConnection& conn_;
    std::string name_;
    std::vector<std::optional<std::string>> values_;
};

class PgWriter final : public CatalogueWriter {
public:
    explicit PgWriter(const std::string& uri) : conn_(ConnectToWrite(uri)) {}
    void Exec(std::string_view sql) override { conn_.Exec(sql); }
    std::unique_ptr<WriteStatement> Prepare(std::string_view sql) override {
        return std::make_unique<PgWriteStatement>(conn_, sql,
                                                  "write" + std::to_string(++statements_));
    }
    void Begin() override { conn_.Exec("BEGIN"); }
    void Commit() override { conn_.Exec("COMMIT"); }
    void Rollback() noexcept override {
        if (conn_.Healthy()) {
            PQclear(PQexec(conn_.Handle(), "ROLLBACK"));
        }
    }

private:
    PgConnection conn_;
    int statements_ = 0;
};

}  // namespace

std::unique_ptr<CatalogueStore> OpenPgCatalogueStore(const std::string& uri) {
    return std::make_unique<PgStore>(uri);
}

std::unique_ptr<CatalogueWriter> OpenPgCatalogueWriter(const std::string& uri) {
    return std::make_unique<PgWriter>(uri);
}

}  // namespace zel
