#include "srv_zel/Postgres.h"

#include <libpq-fe.h>

#include <charconv>

namespace zel {

std::optional<double> PgNumber(std::string_view text) {
    double d = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return d;
}

void PgResult::Clearer::operator()(pg_result* r) const {
    PQclear(r);
}

int PgResult::Rows() const {
    return PQntuples(result_.get());
}

int PgResult::Columns() const {
    return PQnfields(result_.get());
}

bool PgResult::IsNull(int row, int col) const {
    return PQgetisnull(result_.get(), row, col) != 0;
}

std::string_view PgResult::Value(int row, int col) const {
    return {PQgetvalue(result_.get(), row, col),
            static_cast<std::size_t>(PQgetlength(result_.get(), row, col))};
}

std::string PgResult::ColumnName(int col) const {
    const char* name = PQfname(result_.get(), col);
    return name ? name : "";
}

unsigned PgResult::ColumnType(int col) const {
    return PQftype(result_.get(), col);
}

void PgConnection::Finisher::operator()(pg_conn* c) const {
    PQfinish(c);
}

PgCancel::PgCancel(const PgConnection& conn) : cancel_(PQgetCancel(conn.Handle())) {}

void PgCancel::Freer::operator()(pg_cancel* c) const {
    PQfreeCancel(c);
}

void PgCancel::Send() const {
    if (cancel_) {
        char why[256];
        PQcancel(cancel_.get(), why, sizeof why);
    }
}

PgConnection::PgConnection(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
    if (!conn_) {
        throw PgError("database \"" + uri + "\": out of memory", "");
    }
    const char* db = PQdb(conn_.get());
    const char* host = PQhost(conn_.get());
    name_ = std::string("database \"") + (db ? db : "") + "\" on " + (host && *host ? host : "?");
    if (PQstatus(conn_.get()) != CONNECTION_OK) {
        std::string why = PQerrorMessage(conn_.get());
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
            why.pop_back();
        }
        throw PgError(name_ + ": cannot connect: " + why, "");
    }
    // Numbers come back with every digit they have; notices ("already
    // exists, skipping") stay out of the journal.
    Exec(
        "SET extra_float_digits = 3; SET client_encoding = 'UTF8'; "
        "SET client_min_messages = warning");
}

bool PgConnection::Healthy() const {
    return PQstatus(conn_.get()) == CONNECTION_OK;
}

PgResult PgConnection::Check(pg_result* raw, std::string_view doing) {
    PgResult result(raw);
    const auto status = raw ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_SINGLE_TUPLE ||
        status == PGRES_EMPTY_QUERY) {
        return result;
    }
    const char* state = raw ? PQresultErrorField(raw, PG_DIAG_SQLSTATE) : nullptr;
    const char* primary = raw ? PQresultErrorField(raw, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    std::string why = primary ? primary
                      : raw   ? PQresultErrorMessage(raw)
                              : PQerrorMessage(conn_.get());
    if (why.empty()) {
        why = PQerrorMessage(conn_.get());
    }
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
        why.pop_back();
    }
    if (!Healthy()) {
        why = "the connection was lost: " + why;
    }
    throw PgError(name_ + ": " + std::string(doing) + ": " + why, state ? state : "");
}

PgResult PgConnection::Exec(std::string_view sql) {
    const std::string text(sql);
    return Check(PQexec(conn_.get(), text.c_str()), "running SQL");
}

PgResult PgConnection::ExecParams(std::string_view sql, const std::vector<const char*>& params) {
    const std::string text(sql);
    return Check(PQexecParams(conn_.get(), text.c_str(), static_cast<int>(params.size()), nullptr,
                              params.data(), nullptr, nullptr, 0),
                 "running SQL");
}

void PgConnection::Prepare(const std::string& name, std::string_view sql, int paramCount) {
    const std::string text(sql);
    Check(PQprepare(conn_.get(), name.c_str(), text.c_str(), paramCount, nullptr),
          "preparing a statement");
}

PgResult PgConnection::ExecPrepared(const std::string& name,
                                    const std::vector<const char*>& params) {
    return Check(PQexecPrepared(conn_.get(), name.c_str(), static_cast<int>(params.size()),
                                params.data(), nullptr, nullptr, 0),
                 "running a prepared statement");
}

}  // namespace zel
