// CatalogueStore: where srv_zel keeps its catalogue, named by --db: a
// PostgreSQL connection URI (postgresql://...) or a SQLite file path. Both
// hold the same tables and answer the same way.
//
// A store hands out sessions: one connection each, with its prepared
// lookup, used by one thread at a time. A writer does import and init-demo.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "server/WireFormat.h"
#include "srv_zel/QueryProvider.h"

namespace zel {

class CatalogueSession {
public:
    virtual ~CatalogueSession() = default;
    // BuscaPrecio (see ArticleKey and ArticleReply).
    virtual BuscaPrecioCall Find(const BuscaPrecioCall& request) = 0;
    // AS_GetRecords (see RunProviderQuery): refused commands throw RequestError;
    // a query still running when gone (may be null) is cancelled stops within
    // milliseconds and throws QueryCancelled, and the session stays usable.
    virtual RowSet Query(std::string_view providerName, std::string_view commandText,
                         const QueryLimits& limits, CancelSignal* gone) = 0;
    // False once the connection is lost: the session is then dropped, and the
    // next request opens a new one.
    virtual bool Healthy() const = 0;
    // While idle, now and then: lets go of what it keeps between requests
    // that others would wait for (a SQLite read snapshot).
    virtual void Tidy(std::chrono::steady_clock::time_point /*now*/) {}
};

class CatalogueStore {
public:
    virtual ~CatalogueStore() = default;
    // Throws (naming the database) when no connection can be opened.
    virtual std::unique_ptr<CatalogueSession> OpenSession() = 0;
};

// True for the texts srv_zel takes as a PostgreSQL connection URI.
bool IsPostgresUri(std::string_view db);

// Opens the catalogue for serving, creating its tables when missing.
std::unique_ptr<CatalogueStore> OpenCatalogueStore(const std::string& db);

// A statement of a writer, with ?1, ?2 ... parameters.
class WriteStatement {
public:
    virtual ~WriteStatement() = default;
    virtual void Bind(int index, std::int64_t value) = 0;
    virtual void Bind(int index, double value) = 0;
    virtual void Bind(int index, std::string_view text) = 0;
    virtual void BindNull(int index) = 0;
    // Runs with the values bound, then forgets them; returns the rows changed.
    virtual std::size_t Run() = 0;
};

class CatalogueWriter {
public:
    virtual ~CatalogueWriter() = default;
    // Statements that return no rows.
    virtual void Exec(std::string_view sql) = 0;
    virtual std::unique_ptr<WriteStatement> Prepare(std::string_view sql) = 0;
    virtual void Begin() = 0;
    virtual void Commit() = 0;
    virtual void Rollback() noexcept = 0;
};

// Begin now; Rollback on destruction unless Commit() ran.
class WriteTransaction {
public:
    explicit WriteTransaction(CatalogueWriter& writer) : writer_(writer) { writer_.Begin(); }
    ~WriteTransaction() {
        if (!done_) {
            writer_.Rollback();
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    void Commit() {
        writer_.Commit();
        done_ = true;
    }

private:
    CatalogueWriter& writer_;
    bool done_ = false;
};

// Opens the catalogue for writing, creating its tables when missing.
std::unique_ptr<CatalogueWriter> OpenCatalogueWriter(const std::string& db);

}  // namespace zel
