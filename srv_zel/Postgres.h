// Postgres: RAII handles for a libpq connection, its results and its cancel
// requests, with errors that name the database (never its password) and the
// server's reason, and a flag for a connection that was lost.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "srv_zel/StoreError.h"

struct pg_conn;
struct pg_result;
struct pg_cancel;

namespace zel {

class PgError : public StoreError {
public:
    PgError(const std::string& what, std::string sqlState)
        : StoreError(what), sqlState_(std::move(sqlState)) {}
    // The five-character SQLSTATE ("42501", ...); empty when the server sent none.
    const std::string& SqlState() const { return sqlState_; }

private:
    std::string sqlState_;
};

// A number as the server writes a value in text ("3.5", "1e+20"); nullopt
// for anything else.
std::optional<double> PgNumber(std::string_view text);

class PgResult {
public:
    explicit PgResult(pg_result* result) : result_(result) {}
    pg_result* Handle() const { return result_.get(); }
    pg_result* Release() { return result_.release(); }
    int Rows() const;
    int Columns() const;
    bool IsNull(int row, int col) const;
    std::string_view Value(int row, int col) const;
    std::string ColumnName(int col) const;
    unsigned ColumnType(int col) const;  // the type's OID

private:
    struct Clearer {
        void operator()(pg_result* r) const;
    };
    std::unique_ptr<pg_result, Clearer> result_;
};

class PgConnection {
public:
    // Connects; throws PgError naming the database when it cannot.
    explicit PgConnection(const std::string& uri);

    pg_conn* Handle() const { return conn_.get(); }
    // "database NAME on HOST", for messages.
    const std::string& Name() const { return name_; }
    // False once the connection to the server was lost.
    bool Healthy() const;

    // Runs one or more statements (simple protocol); throws PgError.
    PgResult Exec(std::string_view sql);
    // Runs one statement with text parameters (null: SQL NULL); throws PgError.
    PgResult ExecParams(std::string_view sql, const std::vector<const char*>& params);
    void Prepare(const std::string& name, std::string_view sql, int paramCount);
    PgResult ExecPrepared(const std::string& name, const std::vector<const char*>& params);

    // Throws PgError for a result that is not a success (or null).
    PgResult Check(pg_result* result, std::string_view doing);

private:
    struct Finisher {
        void operator()(pg_conn* c) const;
    };
    std::unique_ptr<pg_conn, Finisher> conn_;
    std::string name_;
};

// Asks the server to stop what a connection runs now. Made before the
// statement is sent; Send() may be called from any thread, any number of
// times, and does nothing once the statement has ended.
class PgCancel {
public:
    explicit PgCancel(const PgConnection& conn);
    void Send() const;

private:
    struct Freer {
        void operator()(pg_cancel* c) const;
    };
    std::unique_ptr<pg_cancel, Freer> cancel_;
};

}  // namespace zel
