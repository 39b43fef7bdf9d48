// ConnectionPool: read-only catalogue connections shared by the worker
// threads. A lease holds one connection (with its prepared lookup) for one
// request and gives it back when it ends; connections are opened on demand
// and kept for the next request.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "srv_zel/ArticleLookup.h"
#include "srv_zel/Sqlite.h"

namespace zel {

class ConnectionPool {
    struct Slot;

public:
    explicit ConnectionPool(std::string path);
    ~ConnectionPool();

    class Lease {
    public:
        Lease(ConnectionPool& pool, std::unique_ptr<Slot> slot);
        ~Lease();
        Lease(Lease&&) noexcept = default;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;

        Database& Db();
        ArticleLookup& Lookup();

    private:
        ConnectionPool* pool_;
        std::unique_ptr<Slot> slot_;
    };

    // Throws SqliteError when a new connection cannot be opened.
    Lease Acquire();

private:
    void Return(std::unique_ptr<Slot> slot);

    std::string path_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Slot>> idle_;
};

}  // namespace zel
