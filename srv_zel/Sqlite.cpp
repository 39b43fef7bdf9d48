#include "srv_zel/Sqlite.h"

#include <sqlite3.h>

namespace zel {

namespace {
constexpr int BUSY_TIMEOUT_MS = 5000;
}

void Database::Closer::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

Database::Database(std::string path, int flags) : path_(std::move(path)) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK) {
        const std::string why = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        throw SqliteError("cannot open database \"" + path_ + "\": " + why, rc & 0xFF);
    }
    sqlite3_extended_result_codes(raw, 0);
    sqlite3_busy_timeout(raw, BUSY_TIMEOUT_MS);
}

void Database::Throw(std::string_view doing, int code) const {
    throw SqliteError(
        "database \"" + path_ + "\": " + std::string(doing) + ": " + sqlite3_errmsg(db_.get()),
        code & 0xFF);
}

void Database::Exec(std::string_view sql) {
    const std::string text(sql);
    char* message = nullptr;
    const int rc = sqlite3_exec(db_.get(), text.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        const std::string why = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        throw SqliteError("database \"" + path_ + "\": " + why, rc & 0xFF);
    }
}

void Statement::Finalizer::operator()(sqlite3_stmt* stmt) const {
    sqlite3_finalize(stmt);
}

Statement::Statement(Database& db, std::string_view sql) : db_(&db) {
    sqlite3_stmt* raw = nullptr;
    const int rc =
        sqlite3_prepare_v2(db.Handle(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
    stmt_.reset(raw);
    if (rc != SQLITE_OK) {
        db.Throw("preparing " + std::string(sql.substr(0, 60)), rc);
    }
}

void Statement::Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_.get(), index, value);
}

void Statement::Bind(int index, double value) {
    sqlite3_bind_double(stmt_.get(), index, value);
}

void Statement::Bind(int index, std::string_view text) {
    sqlite3_bind_text(stmt_.get(), index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

void Statement::BindNull(int index) {
    sqlite3_bind_null(stmt_.get(), index);
}

bool Statement::Step() {
    const int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    db_->Throw("running " + std::string(sqlite3_sql(stmt_.get())).substr(0, 60), rc);
}

void Statement::Reset() {
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
}

Transaction::Transaction(Database& db) : db_(db) {
    db_.Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!done_) {
        sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::Commit() {
    db_.Exec("COMMIT");
    done_ = true;
}

}  // namespace zel
