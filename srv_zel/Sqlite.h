// Sqlite: RAII handles for a SQLite connection and a prepared statement,
// with errors that name the file, the statement and SQLite's reason.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "srv_zel/StoreError.h"

struct sqlite3;
struct sqlite3_stmt;

namespace zel {

class SqliteError : public StoreError {
public:
    SqliteError(const std::string& what, int code) : StoreError(what), code_(code) {}
    // SQLite's primary result code (SQLITE_BUSY, SQLITE_CORRUPT, ...).
    int Code() const { return code_; }

private:
    int code_;
};

class Database {
public:
    // sqlite3_open_v2 with flags (SQLITE_OPEN_READONLY, ...); busy waits up to 5 s.
    Database(std::string path, int flags);

    sqlite3* Handle() const { return db_.get(); }
    const std::string& Path() const { return path_; }

    // Runs one or more statements that return no rows.
    void Exec(std::string_view sql);

    // Throws SqliteError with SQLite's last message on this connection.
    [[noreturn]] void Throw(std::string_view doing, int code) const;

private:
    struct Closer {
        void operator()(sqlite3* db) const;
    };
    std::unique_ptr<sqlite3, Closer> db_;
    std::string path_;
};

class Statement {
public:
    Statement(Database& db, std::string_view sql);

    sqlite3_stmt* Handle() const { return stmt_.get(); }

    void Bind(int index, std::int64_t value);
    void Bind(int index, double value);
    void Bind(int index, std::string_view text);
    void BindNull(int index);

    // true while a row is ready; false when done. Throws on failure.
    bool Step();
    // Ready to run again, bindings cleared.
    void Reset();

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* stmt) const;
    };
    Database* db_;
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

// BEGIN IMMEDIATE now; ROLLBACK on destruction unless Commit() ran.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    Database& db_;
    bool done_ = false;
};

}  // namespace zel
