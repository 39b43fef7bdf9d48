#include "srv_zel/CatalogueStore.h"

#include <sqlite3.h>

#include "srv_zel/ArticleLookup.h"
#include "srv_zel/PgCatalogue.h"
#include "srv_zel/ReadSnapshot.h"
#include "srv_zel/Schema.h"

namespace zel {

namespace {

class SqliteSession final : public CatalogueSession {
public:
    explicit SqliteSession(const std::string& path)
        : db_(OpenCatalogueReadOnly(path)), snapshot_(db_) {}
    BuscaPrecioCall Find(const BuscaPrecioCall& request) override {
        if (!lookup_) {
            lookup_ = std::make_unique<ArticleLookup>(db_);
        }
        snapshot_.Enter(ReadSnapshot::Clock::now());
        try {
            return lookup_->Find(request);
        } catch (const SqliteError&) {
            snapshot_.End();
            throw;
        }
    }
    RowSet Query(std::string_view providerName, std::string_view commandText,
                 const QueryLimits& limits, CancelSignal* gone) override {
        snapshot_.End();  // a query sees the latest catalogue, and holds no snapshot after
        return RunProviderQuery(db_, providerName, commandText, limits, gone);
    }
    bool Healthy() const override { return true; }
    void Tidy(std::chrono::steady_clock::time_point now) override { snapshot_.EndIfOlder(now); }

private:
    Database db_;
    ReadSnapshot snapshot_;
    std::unique_ptr<ArticleLookup> lookup_;
};

class SqliteStore final : public CatalogueStore {
public:
    explicit SqliteStore(std::string path)
        : path_(std::move(path)), keeper_(OpenCatalogueForWriting(path_)) {}
    std::unique_ptr<CatalogueSession> OpenSession() override {
        return std::make_unique<SqliteSession>(path_);
    }

private:
    std::string path_;
    Database keeper_;  // keeps the WAL files in place while the server runs
};

class SqliteWriteStatement final : public WriteStatement {
public:
    SqliteWriteStatement(Database& db, std::string_view sql) : db_(db), stmt_(db, sql) {}
    void Bind(int index, std::int64_t value) override { stmt_.Bind(index, value); }
    void Bind(int index, double value) override { stmt_.Bind(index, value); }
    void Bind(int index, std::string_view text) override { stmt_.Bind(index, text); }
    void BindNull(int index) override { stmt_.BindNull(index); }
    std::size_t Run() override {
        stmt_.Step();
        const auto changed = static_cast<std::size_t>(sqlite3_changes(db_.Handle()));
        stmt_.Reset();
        return changed;
    }

private:
    Database& db_;
    Statement stmt_;
};

class SqliteWriter final : public CatalogueWriter {
public:
    explicit SqliteWriter(const std::string& path) : db_(OpenCatalogueForWriting(path)) {}
    void Exec(std::string_view sql) override { db_.Exec(sql); }
    std::unique_ptr<WriteStatement> Prepare(std::string_view sql) override {
        return std::make_unique<SqliteWriteStatement>(db_, sql);
    }
    void Begin() override { db_.Exec("BEGIN IMMEDIATE"); }
    void Commit() override { db_.Exec("COMMIT"); }
    void Rollback() noexcept override {
        try {
            db_.Exec("ROLLBACK");
        } catch (...) {
            // Nothing was left open to undo.
        }
    }

private:
    Database db_;
};

}  // namespace

bool IsPostgresUri(std::string_view db) {
    return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::unique_ptr<CatalogueStore> OpenCatalogueStore(const std::string& db) {
    if (IsPostgresUri(db)) {
        return OpenPgCatalogueStore(db);
    }
    return std::make_unique<SqliteStore>(db);
}

std::unique_ptr<CatalogueWriter> OpenCatalogueWriter(const std::string& db) {
    if (IsPostgresUri(db)) {
        return OpenPgCatalogueWriter(db);
    }
    return std::make_unique<SqliteWriter>(db);
}

}  // namespace zel
